#include "ratequality.h"

#include <QChart>
#include <QChartView>
#include <QColor>
#include <QComboBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLegend>
#include <QLineSeries>
#include <QLocale>
#include <QLogValueAxis>
#include <QSplitter>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>
#include <QValueAxis>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

#include "report/rd_report.h"

namespace lorvane {

QColor LineColour(int index)
{
    static const QColor colours[] = {
        {31, 119, 180}, {214, 39, 40},  {44, 160, 44},  {148, 103, 189}, {255, 127, 14}, {23, 190, 207},
        {140, 86, 75},  {227, 119, 194}, {127, 127, 127}, {188, 189, 34}, {0, 0, 128},    {128, 0, 0}};
    return colours[index % int(std::size(colours))];
}

namespace {

QString U8(const char* text) { return QString::fromUtf8(text); }

QString Title(const std::string& metric)
{
    static const std::pair<const char*, const char*> titles[] = {
        {"psnr_y", "PSNR Y"}, {"psnr_yuv", "PSNR YUV"}, {"psnr_611", "PSNR 6:1:1"},
        {"ssim_y", "SSIM Y"}, {"ssim", "SSIM"},         {"ms_ssim_y", "MS-SSIM Y"}};
    for (const auto& title : titles)
        if (metric == title.first)
            return QString::fromUtf8(title.second);
    return QString::fromStdString(metric);
}

bool IsPsnr(const std::string& metric) { return metric.rfind("psnr", 0) == 0; }

// Decibels as the deltas give them; scores near 1 need more digits.
QString QualityText(const std::string& metric, double value)
{
    return std::isnan(value) ? U8("—") : QString::number(value, 'f', IsPsnr(metric) ? 4 : 6);
}

QString SeriesLabel(const std::string& series)
{
    return series.empty() ? U8("（未命名系列）") : QString::fromStdString(series);
}

// The core names the two sides of a comparison as lorvane-cli's options do;
// here they are series the user named.
QString InWindowTerms(const std::string& text, const QString& anchor, const QString& test)
{
    const QString from = QString::fromStdString(text);
    QString said;
    for (qsizetype at = 0; at < from.size();) {
        if (from.mid(at, 8) == QLatin1String("--anchor")) {
            said += U8("基准系列 ") + anchor;
            at += 8;
        } else if (from.mid(at, 6) == QLatin1String("--test")) {
            said += U8("系列 ") + test;
            at += 6;
        } else {
            said += from[at++];
        }
    }
    return said;
}

}  // namespace

void EncodeListModel::Clear()
{
    beginResetModel();
    entries_.clear();
    endResetModel();
}

void EncodeListModel::Add(const Measured& sequence)
{
    const int at = int(entries_.size());
    beginInsertRows({}, at, at);
    Entry& entry = entries_.emplace_back();
    entry.sequence = sequence;
    entry.row = RdRowOf(sequence->record, RdName(sequence->settings.sourcePath), "", "", 0);
    const EncodeFacts& facts = sequence->record.outcome.description.targetEncode;
    entry.measured = facts.decoded && facts.kbps > 0;
    entry.kbps = entry.measured ? facts.kbps : std::numeric_limits<double>::quiet_NaN();
    entry.rateText = entry.measured ? QString::number(facts.kbps, 'f', 3) : QString();
    endInsertRows();
}

void EncodeListModel::SetMetric(const std::string& metric)
{
    metric_ = metric;
    emit headerDataChanged(Qt::Horizontal, Quality, Quality);
    if (!entries_.empty())
        emit dataChanged(index(0, Quality), index(rowCount() - 1, Quality));
}

// Two encodes of the same file name from different folders would be one
// encode twice to the deltas: such ones go by their paths.
QString EncodeListModel::EncodeName(std::size_t entry) const
{
    const std::string& path = entries_[entry].sequence->settings.targetPath;
    const QString name = QFileInfo(QString::fromStdString(path)).fileName();
    for (std::size_t other = 0; other < entries_.size(); ++other)
        if (other != entry &&
            QFileInfo(QString::fromStdString(entries_[other].sequence->settings.targetPath)).fileName() == name)
            return QString::fromStdString(path);
    return name;
}

std::vector<RdRow> EncodeListModel::Rows() const
{
    std::vector<RdRow> rows;
    for (std::size_t e = 0; e < entries_.size(); ++e) {
        RdRow& row = rows.emplace_back(entries_[e].row);
        row.series = entries_[e].series.trimmed().toStdString();
        row.encode = EncodeName(e).toStdString();
        row.kbps = entries_[e].kbps;
    }
    return rows;
}

int EncodeListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(entries_.size());
}

int EncodeListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant EncodeListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const Entry& entry = entries_[std::size_t(index.row())];
    const bool wrong = !entry.rateText.isEmpty() && std::isnan(entry.kbps);
    switch (index.column()) {
    case Encode:
        if (role == Qt::DisplayRole)
            return QFileInfo(QString::fromStdString(entry.sequence->settings.targetPath)).fileName();
        if (role == Qt::ToolTipRole)
            return QString::fromStdString(entry.sequence->settings.targetPath);
        break;
    case Series:
        if (role == Qt::DisplayRole || role == Qt::EditRole)
            return entry.series;
        break;
    case Rate:
        if (role == Qt::DisplayRole || role == Qt::EditRole)
            return entry.rateText;
        if (role == Qt::TextAlignmentRole)
            return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
        if (role == Qt::BackgroundRole && wrong)
            return QColor(250, 210, 205);
        if (role == Qt::ToolTipRole)
            return wrong            ? U8("码率应为大于 0 的数（kbps）：这个编码不画进曲线。")
                   : entry.measured ? U8("解码时测得：所比较各帧的数据包 × 8 ÷ 时长")
                   : entry.rateText.isEmpty() ? U8("无头 YUV 和 YUV4MPEG2 没有码率：填入 kbps")
                                              : QVariant();
        break;
    case Quality:
        if (role == Qt::DisplayRole)
            return QualityText(metric_, entry.row.Quality(metric_));
        if (role == Qt::TextAlignmentRole)
            return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
        break;
    default:
        break;
    }
    return {};
}

QVariant EncodeListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case Encode: return U8("编码");
    case Series: return U8("系列");
    case Rate: return U8("码率 (kbps)");
    case Quality: return Title(metric_);
    default: return {};
    }
}

Qt::ItemFlags EncodeListModel::flags(const QModelIndex& index) const
{
    Qt::ItemFlags flags = QAbstractTableModel::flags(index);
    if (index.column() == Series || index.column() == Rate)
        flags |= Qt::ItemIsEditable;
    return flags;
}

bool EncodeListModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (!index.isValid() || role != Qt::EditRole || index.row() >= rowCount())
        return false;
    Entry& entry = entries_[std::size_t(index.row())];
    const QString text = value.toString().trimmed();
    if (index.column() == Series) {
        if (text == entry.series)
            return true;
        entry.series = text;
    } else if (index.column() == Rate) {
        // The same text again keeps the rate as it was, the measured one unrounded.
        if (text == entry.rateText)
            return true;
        entry.rateText = text;
        entry.measured = false;
        bool ok = false;
        double kbps = QLocale::c().toDouble(text, &ok);
        if (!ok)
            kbps = QLocale::system().toDouble(text, &ok);
        entry.kbps = ok && std::isfinite(kbps) && kbps > 0 ? kbps : std::numeric_limits<double>::quiet_NaN();
    } else {
        return false;
    }
    emit dataChanged(this->index(index.row(), 0), this->index(index.row(), ColumnCount - 1));
    return true;
}

RateQualityPage::RateQualityPage(QWidget* parent) : QWidget(parent)
{
    model_ = new EncodeListModel(this);
    metricChoice_ = new QComboBox(this);
    anchorChoice_ = new QComboBox(this);
    for (QComboBox* choice : {metricChoice_, anchorChoice_})
        choice->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    anchorChoice_->setMinimumContentsLength(12);
    connect(metricChoice_, &QComboBox::activated, this,
            [this](int index) { ShowMetric(metricChoice_->itemData(index).toString().toStdString()); });
    connect(anchorChoice_, &QComboBox::activated, this,
            [this](int index) { ShowAnchor(anchorChoice_->itemData(index).toString()); });

    encodes_ = new QTableView(this);
    deltaModel_ = new QStandardItemModel(this);
    deltas_ = new QTableView(this);
    encodes_->setModel(model_);
    encodes_->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                              QAbstractItemView::AnyKeyPressed);
    for (QTableView* table : {encodes_, deltas_}) {
        table->verticalHeader()->hide();
        table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 6);
    }
    encodes_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    encodes_->horizontalHeader()->setSectionResizeMode(EncodeListModel::Encode, QHeaderView::Stretch);
    connect(model_, &QAbstractItemModel::dataChanged, this, [this] {
        if (!quiet_)
            Refresh();
    });

    deltas_->setModel(deltaModel_);
    deltas_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    deltas_->setWordWrap(true);
    deltas_->horizontalHeader()->setStretchLastSection(true);
    notes_ = new QLabel(this);
    notes_->setWordWrap(true);
    notes_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    chart_ = new QChart;
    chart_->legend()->setAlignment(Qt::AlignBottom);
    rateAxis_ = new QLogValueAxis;
    rateAxis_->setBase(10);
    rateAxis_->setMinorTickCount(8);
    rateAxis_->setLabelFormat(QStringLiteral("%g"));
    rateAxis_->setTitleText(U8("码率 (kbps)"));
    qualityAxis_ = new QValueAxis;
    chart_->addAxis(rateAxis_, Qt::AlignBottom);
    chart_->addAxis(qualityAxis_, Qt::AlignLeft);
    view_ = new QChartView(chart_, this);
    view_->setRenderHint(QPainter::Antialiasing);
    view_->setFocusPolicy(Qt::NoFocus);
    view_->setMinimumHeight(220);

    auto* choices = new QHBoxLayout;
    choices->addWidget(new QLabel(U8("质量："), this));
    choices->addWidget(metricChoice_);
    choices->addSpacing(12);
    choices->addWidget(new QLabel(U8("基准系列："), this));
    choices->addWidget(anchorChoice_);
    choices->addStretch();
    auto* lower = new QWidget(this);
    auto* lowerLayout = new QHBoxLayout(lower);
    lowerLayout->setContentsMargins(0, 0, 0, 0);
    lowerLayout->addWidget(encodes_, 1);
    auto* right = new QVBoxLayout;
    right->addWidget(deltas_, 1);
    right->addWidget(notes_);
    lowerLayout->addLayout(right, 1);
    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(view_);
    splitter->addWidget(lower);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    splitter->setSizes({400, 260});
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(choices);
    layout->addWidget(splitter);
    Refresh();
}

void RateQualityPage::Clear()
{
    quiet_ = true;
    model_->Clear();
    quiet_ = false;
    anchor_.clear();
    Refresh();
}

void RateQualityPage::Add(const Measured& sequence)
{
    quiet_ = true;
    model_->Add(sequence);
    quiet_ = false;
    if (model_->rowCount() == 1)
        OfferMetrics();
    Refresh();
}

// The qualities of the run's first encode: every encode was measured alike.
void RateQualityPage::OfferMetrics()
{
    const std::vector<RdRow> rows = model_->Rows();
    const QSignalBlocker quiet(metricChoice_);
    metricChoice_->clear();
    bool kept = false;
    for (const std::string& metric : BdMetricNames()) {
        const auto& qualities = rows.front().qualities;
        if (std::none_of(qualities.begin(), qualities.end(),
                         [&](const std::pair<std::string, double>& q) { return q.first == metric; }))
            continue;
        metricChoice_->addItem(Title(metric), QString::fromStdString(metric));
        kept = kept || metric == metric_;
    }
    if (!kept)
        metric_ = BdMetricNames().front();
    metricChoice_->setCurrentIndex(metricChoice_->findData(QString::fromStdString(metric_)));
    metricChoice_->setEnabled(metricChoice_->count() > 1);
    quiet_ = true;
    model_->SetMetric(metric_);
    quiet_ = false;
}

void RateQualityPage::ShowMetric(const std::string& metric)
{
    const int index = metricChoice_->findData(QString::fromStdString(metric));
    if (index < 0)
        return;
    metricChoice_->setCurrentIndex(index);
    metric_ = metric;
    quiet_ = true;
    model_->SetMetric(metric_);
    quiet_ = false;
    Refresh();
}

void RateQualityPage::ShowAnchor(const QString& series)
{
    anchor_ = series;
    Refresh();
}

QString RateQualityPage::Anchor() const { return anchorChoice_->currentData().toString(); }

QString RateQualityPage::Notes() const { return notes_->text(); }

void RateQualityPage::Refresh()
{
    // The series of the encodes with a rate, in the order they first appear.
    const std::vector<RdRow> rows = model_->Rows();
    std::vector<std::string> names;
    std::vector<std::vector<RdRow>> series;
    int unrated = 0;
    QStringList notes;
    for (const RdRow& row : rows) {
        if (std::isnan(row.kbps)) {
            ++unrated;
            continue;
        }
        const std::size_t at = std::size_t(std::find(names.begin(), names.end(), row.series) - names.begin());
        if (at == names.size()) {
            names.push_back(row.series);
            series.emplace_back();
        }
        series[at].push_back(row);
    }
    if (unrated > 0)
        notes << U8("%1 个编码没有码率，不在图中（无头 YUV 和 YUV4MPEG2 的码率请在“码率”列填入 kbps）。").arg(unrated);

    // The anchor chosen stays while its series has a rate; otherwise the first series stands in.
    std::size_t anchor = 0;
    for (std::size_t s = 0; s < names.size(); ++s)
        if (QString::fromStdString(names[s]) == anchor_)
            anchor = s;
    {
        const QSignalBlocker quiet(anchorChoice_);
        anchorChoice_->clear();
        for (const std::string& name : names)
            anchorChoice_->addItem(SeriesLabel(name), QString::fromStdString(name));
        anchorChoice_->setCurrentIndex(names.empty() ? -1 : int(anchor));
        anchorChoice_->setEnabled(names.size() > 1);
    }

    // The curves: lossless encodes have no place on them, as the deltas leave them out.
    chart_->removeAllSeries();
    curves_.clear();
    double lowRate = INFINITY, highRate = -INFINITY, lowQuality = INFINITY, highQuality = -INFINITY;
    for (std::size_t s = 0; s < series.size(); ++s) {
        std::vector<std::pair<double, double>> points;
        for (const RdRow& row : series[s]) {
            const double quality = row.Quality(metric_);
            if (std::isnan(quality))
                continue;
            if (IsPsnr(metric_) && quality >= 100.0) {
                notes << U8("编码 %1 的 %2 是 100（与参考完全相同，无损），不计入曲线。")
                             .arg(QString::fromStdString(row.encode), QString::fromStdString(metric_));
                continue;
            }
            points.emplace_back(row.kbps, quality);
        }
        std::sort(points.begin(), points.end());
        auto* curve = new QLineSeries;
        curve->setName(SeriesLabel(names[s]));
        curve->setPen(QPen(LineColour(int(s)), 2));
        curve->setPointsVisible(true);
        curve->setMarkerSize(8);
        for (const auto& point : points) {
            curve->append(point.first, point.second);
            lowRate = std::min(lowRate, point.first), highRate = std::max(highRate, point.first);
            lowQuality = std::min(lowQuality, point.second), highQuality = std::max(highQuality, point.second);
        }
        chart_->addSeries(curve);
        curve->attachAxis(rateAxis_);
        curve->attachAxis(qualityAxis_);
        curves_.push_back(curve);
    }
    if (lowRate <= highRate) {
        rateAxis_->setRange(lowRate / 1.2, highRate * 1.2);
        const double margin = std::max((highQuality - lowQuality) * 0.08, IsPsnr(metric_) ? 0.1 : 0.0005);
        qualityAxis_->setRange(lowQuality - margin, highQuality + margin);
    } else {
        rateAxis_->setRange(100, 10000);
        qualityAxis_->setRange(IsPsnr(metric_) ? 20 : 0, IsPsnr(metric_) ? 50 : 1);
    }
    qualityAxis_->setLabelFormat(IsPsnr(metric_) ? QStringLiteral("%.1f") : QStringLiteral("%.4f"));
    qualityAxis_->setTitleText(Title(metric_) + (IsPsnr(metric_) ? U8(" (dB)") : QString()));

    // Each other series against the anchor, in the digits lorvane-cli bd prints.
    deltaModel_->clear();
    deltas_->clearSpans();
    deltaModel_->setHorizontalHeaderLabels({U8("系列"), U8("BD-rate (%)"),
                                            U8("质量差 (%1)").arg(QString::fromStdString(metric_)), U8("质量区间"),
                                            U8("码率区间 (kbps)")});
    for (std::size_t s = 0; s < series.size(); ++s) {
        if (s == anchor)
            continue;
        // All encodes share the reference, so each side is one sequence and
        // the only warnings are of lossless points, already noted above.
        const BdTable table = CompareRd(series[anchor], series[s], metric_, BdMethod::Pchip);
        QList<QStandardItem*> cells{new QStandardItem(SeriesLabel(names[s]))};
        cells.front()->setForeground(LineColour(int(s)));
        const std::string why = !table.error.empty()        ? table.error
                                : table.sequences.empty()     ? std::string("没有可比较的曲线。")
                                : table.sequences.front().ok ? std::string()
                                                              : table.sequences.front().error;
        const QString error = InWindowTerms(why, SeriesLabel(names[anchor]), SeriesLabel(names[s]));
        if (error.isEmpty()) {
            const BdResult& r = table.sequences.front().result;
            for (const QString& text :
                 {QString::number(r.rate, 'f', 3), QString::number(r.delta, 'f', 4),
                  QString::number(r.qualityLow, 'f', 4) + U8(" – ") + QString::number(r.qualityHigh, 'f', 4),
                  QString::number(r.kbpsLow, 'f', 3) + U8(" – ") + QString::number(r.kbpsHigh, 'f', 3)}) {
                cells << new QStandardItem(text);
                cells.back()->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            }
            deltaModel_->appendRow(cells);
        } else {
            cells << new QStandardItem(error);
            cells.back()->setForeground(QColor(176, 58, 46));
            cells.back()->setToolTip(error);
            deltaModel_->appendRow(cells);
            deltas_->setSpan(deltaModel_->rowCount() - 1, BdRate, 1, DeltaColumnCount - BdRate);
        }
    }
    deltas_->resizeColumnsToContents();
    deltas_->resizeRowsToContents();
    if (names.size() == 1)
        notes << U8("只有一个系列：给编码填上不同的系列名（每个系列至少 4 个带码率的编码），即可比较 BD-rate。");
    else if (names.size() > 1)
        notes << U8("BD-rate 为负：该系列在相同质量下比基准系列 %1 省码率（pchip）。").arg(SeriesLabel(names[anchor]));
    notes_->setText(notes.join(u'\n'));
}

}  // namespace lorvane
