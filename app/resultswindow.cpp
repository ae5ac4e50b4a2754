#include "resultswindow.h"

#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFontMetrics>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLegend>
#include <QLegendMarker>
#include <QLineSeries>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QRubberBand>
#include <QShortcut>
#include <QSplitter>
#include <QStandardItemModel>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <new>

#include "frametablemodel.h"
#include "frameviewer.h"
#include "prompts.h"
#include "ratequality.h"
#include "report/outputs.h"

namespace lorvane {
namespace {

QString U8(const char* text) { return QString::fromUtf8(text); }

QString FileName(const std::string& path) { return QFileInfo(QString::fromStdString(path)).fileName(); }

const char* const kPlaneNames[PlaneCount] = {"Y", "U", "V", "YUV"};

// Encodes of one sequence are usually named alike up to their settings at the
// end (_crf23.mp4, _crf28.mp4): a long name loses its middle in the legend,
// never its end. The tab and its tooltip keep the whole name.
constexpr int kLegendNameChars = 32;

QString LegendName(const QFont& font, const std::string& path)
{
    const QFontMetrics metrics(font);
    return metrics.elidedText(FileName(path), Qt::ElideMiddle, metrics.averageCharWidth() * kLegendNameChars);
}

// The points a line needs at `columns` pixels: every frame while they fit,
// otherwise each column's lowest and highest value in frame order, so that no
// dip or peak is lost however many frames there are.
QList<QPointF> Decimate(const std::vector<FrameResult>& frames, const ValueOf& valueOf, double from, double to,
                        int columns)
{
    QList<QPointF> points;
    if (frames.empty() || !valueOf.Present())
        return points;
    const qsizetype last = qsizetype(frames.size()) - 1;
    const qsizetype first = std::clamp<qsizetype>(qsizetype(std::floor(from)) - 1, 0, last);
    const qsizetype end = std::clamp<qsizetype>(qsizetype(std::ceil(to)) + 1, 0, last) + 1;
    const qsizetype count = end - first;
    columns = std::max(columns, 1);
    const auto add = [&](qsizetype i) {
        const double value = valueOf(frames[std::size_t(i)]);
        if (!std::isnan(value))
            points.append(QPointF(frames[std::size_t(i)].frame, value));
    };
    if (count <= 2 * columns) {
        points.reserve(count);
        for (qsizetype i = first; i < end; ++i)
            add(i);
        return points;
    }
    points.reserve(2 * columns);
    for (int c = 0; c < columns; ++c) {
        const qsizetype begin = first + count * c / columns, stop = first + count * (c + 1) / columns;
        qsizetype low = -1, high = -1;
        double lowest = 0, highest = 0;
        for (qsizetype i = begin; i < stop; ++i) {
            const double value = valueOf(frames[std::size_t(i)]);
            if (std::isnan(value))
                continue;
            if (low < 0 || value < lowest)
                low = i, lowest = value;
            if (high < 0 || value > highest)
                high = i, highest = value;
        }
        if (low < 0)
            continue;
        add(std::min(low, high));
        if (low != high)
            add(std::max(low, high));
    }
    return points;
}

QString Number(double value, int decimals = 3)
{
    return std::isnan(value) ? QStringLiteral("—") : QString::number(value, 'f', decimals);
}

// A score's mean, lowest and highest frames, as the run's statistics give them
// (the same figures as the summary and --stats); it has no pooled value.
PlaneStatistics SpreadOf(const SequenceStatistics& statistics, const ValueOf& value)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (value.field != ValueOf::Field::Score || std::size_t(value.index) >= statistics.scores.size())
        return {nan, nan, nan, nan, -1, -1};
    const ScoreStatistics& score = statistics.scores[std::size_t(value.index)];
    return {score.mean, nan, score.min, score.max, score.minFrame, score.maxFrame};
}

// The mean of one metric's plane over a sequence: PSNR's from the run's statistics.
double MeanOf(const MeasuredSequence& sequence, const std::string& metric, int plane)
{
    const SequenceStatistics& s = sequence.record.statistics;
    const ValueOf value = Locate(sequence.record.outcome.description, metric, plane);
    if (!value.Present())
        return std::numeric_limits<double>::quiet_NaN();
    if (metric == kPsnr)
        return plane == PlaneYuv ? s.yuv.mean : s.planes[plane].mean;
    return SpreadOf(s, value).mean;
}

// Scores of similarity to the reference (1 for identical planes), which also
// read in decibels beside PSNR.
bool IsSimilarity(const std::string& metric) { return metric == "ssim" || metric == "ms_ssim"; }

// The score the worst frames are ranked by for `metric`: its luma value, or
// empty for PSNR's luma MSE (and for a metric without a luma value).
std::string WorstBy(const RunDescription& description, const std::string& metric)
{
    if (metric == kPsnr)
        return {};
    const std::string luma = metric + "_y";
    return std::find(description.scores.begin(), description.scores.end(), luma) != description.scores.end()
               ? luma
               : std::string();
}

// `worstBy` as WorstBy gives it: the frames listed as worst follow the metric shown.
QString StatisticsHtml(const MeasuredSequence& sequence, const std::string& worstBy)
{
    const SequenceStatistics& s = sequence.record.statistics;
    const bool gray = sequence.record.outcome.description.planeSamples[1] == 0;
    QString html = U8("<b>%1</b>（%2 帧）<table cellspacing=0 cellpadding=2>"
                      "<tr><th></th><th align=right>平均</th><th align=right>合并</th>"
                      "<th align=right>最低（帧）</th><th align=right>最高（帧）</th></tr>")
                       .arg(FileName(sequence.settings.targetPath).toHtmlEscaped())
                       .arg(s.frames);
    // Scores between 0 and 1 need more digits than decibels.
    // A similarity's mean carries its decibels, which compare with PSNR's at a glance.
    const auto row = [&](const QString& name, const PlaneStatistics& p, int decimals = 3, bool decibels = false) {
        QString mean = Number(p.mean, decimals);
        if (decibels && !std::isnan(p.mean))
            mean += QStringLiteral(" (%1 dB)").arg(Number(SimilarityDecibels(p.mean)));
        html += QStringLiteral("<tr><td>%1</td><td align=right>%2</td><td align=right>%3</td>"
                               "<td align=right>%4 (%5)</td><td align=right>%6 (%7)</td></tr>")
                    .arg(name, mean, Number(p.pooled, decimals), Number(p.min, decimals))
                    .arg(p.minFrame)
                    .arg(Number(p.max, decimals))
                    .arg(p.maxFrame);
    };
    for (int plane = 0; plane < (gray ? 1 : 3); ++plane)
        row(QStringLiteral("PSNR ") + kPlaneNames[plane], s.planes[plane]);
    row(QStringLiteral("PSNR YUV"), s.yuv);
    // Every other metric measured, the same way; it has no pooled value.
    const std::vector<std::string> metrics = MetricsOf(sequence.record.outcome.description);
    for (std::size_t m = 1; m < metrics.size(); ++m)
        for (int plane = 0; plane < PlaneCount; ++plane)
            if (const ValueOf value = Locate(sequence.record.outcome.description, metrics[m], plane); value.Present())
                row(MetricTitle(metrics[m]) + u' ' + kPlaneNames[plane], SpreadOf(s, value), 6,
                    IsSimilarity(metrics[m]));
    html += U8("</table>");
    if (!gray)
        html += U8("6:1:1 加权：%1 dB<br>").arg(Number(s.weighted611));
    const RunDescription& d = sequence.record.outcome.description;
    QStringList worst;
    if (worstBy.empty()) {
        for (const FrameResult& frame : s.worst)
            worst << U8("%1 (%2)").arg(frame.frame).arg(Number(frame.psnr[0]));
        html += U8("最差帧（Y）：%1").arg(worst.join(U8("，")));
    } else {
        // The run's statistics rank by luma MSE: the core ranks again by the score.
        const SequenceStatistics ranked = ComputeStatistics(sequence.record.frames, d, kWorstFrames, worstBy);
        const std::size_t score = std::size_t(std::find(d.scores.begin(), d.scores.end(), worstBy) - d.scores.begin());
        const ValueOf value{ValueOf::Field::Score, int(score)};
        for (const FrameResult& frame : ranked.worst)
            worst << U8("%1 (%2)").arg(frame.frame).arg(Number(value(frame), 6));
        const QString metric = MetricTitle(worstBy.substr(0, worstBy.size() - 2));
        html += U8("最差帧（%1 Y）：%2").arg(metric, worst.join(U8("，")));
    }
    if (d.sourceEncode.decoded)
        html += U8("<br>源参考序列编码：%1").arg(QString::fromStdString(EncodeText(d.sourceEncode, s.frames)).toHtmlEscaped());
    if (d.targetEncode.decoded)
        html += U8("<br>目标序列编码：%1").arg(QString::fromStdString(EncodeText(d.targetEncode, s.frames)).toHtmlEscaped());
    return html;
}

}  // namespace

// The chart's view: rubber-band zoom on the frame axis, and a plain click
// names the frame under the pointer.
class ChartView : public QChartView {
public:
    ChartView(QChart* chart, QWidget* parent) : QChartView(chart, parent)
    {
        setRubberBand(QChartView::HorizontalRubberBand);
        setRenderHint(QPainter::Antialiasing);
    }
    std::function<void(int)> frameClicked;

protected:
    void mousePressEvent(QMouseEvent* event) override
    {
        pressedAt_ = event->pos();
        QChartView::mousePressEvent(event);
    }
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        if (event->button() == Qt::LeftButton && (event->pos() - pressedAt_).manhattanLength() < 4) {
            // Not a drag: no zoom into a sliver, but the frame at that place.
            if (auto* band = findChild<QRubberBand*>())
                band->hide();
            const QPointF value = chart()->mapToValue(event->pos());
            if (chart()->plotArea().contains(event->pos()) && frameClicked)
                frameClicked(int(std::lround(value.x())));
            event->accept();
            return;
        }
        QChartView::mouseReleaseEvent(event);
    }

private:
    QPoint pressedAt_;
};

// What one file of a comparison hears, on the worker thread. Messages wait
// for the user; the summary of a file that ended well is left out, the window
// shows its numbers.
class ComparisonFeedback : public RunFeedback {
public:
    ComparisonFeedback(ResultsWindow& window, std::size_t sequence) : window_(window), sequence_(sequence) {}

    void ShowMessage(const std::string& text, const std::string& title, MessageIcon icon) override
    {
        if (window_.pending_[sequence_].ended && icon == MessageIcon::None)
            return;
        window_.SayFromWorker(text, title, icon);
    }
    void ProgressBegin(std::int32_t) override {}
    void ProgressStep(std::int32_t frame) override { window_.pendingStep_.store(frame, std::memory_order_relaxed); }
    void ProgressEnd() override {}
    void FrameMeasured(const FrameResult& frame) override { window_.FrameMeasured(sequence_, frame); }
    void RunEnded(const RunOutcome& outcome) override
    {
        window_.pending_[sequence_].outcome = outcome;
        window_.pending_[sequence_].ended = true;
    }

private:
    ResultsWindow& window_;
    std::size_t sequence_;
};

// What concerns a pass that several files share. A message before its frame
// loop stopped it for all of them, whichever file it was about: it is held
// back, and each file is then tried alone to say it as that file's own add would.
class SharedRunFeedback : public RunFeedback {
public:
    explicit SharedRunFeedback(ResultsWindow& window) : window_(window) {}
    bool ReachedFrames() const { return reachedFrames_; }

    void ShowMessage(const std::string& text, const std::string& title, MessageIcon icon) override
    {
        if (reachedFrames_)
            window_.SayFromWorker(text, title, icon);
    }
    void ProgressBegin(std::int32_t) override { reachedFrames_ = true; }
    void ProgressStep(std::int32_t frame) override { window_.pendingStep_.store(frame, std::memory_order_relaxed); }
    void ProgressEnd() override {}

private:
    ResultsWindow& window_;
    bool reachedFrames_ = false;
};

namespace {

// Takes one file alone as far as its run's frame loop and no further: a run
// that returns before then failed, and its first message says why.
class CheckAlone : public RunFeedback {
public:
    struct Passed {};
    std::string text, title;
    MessageIcon icon = MessageIcon::None;
    bool told = false;

    void ShowMessage(const std::string& t, const std::string& ti, MessageIcon i) override
    {
        if (!told)
            text = t, title = ti, icon = i, told = true;
    }
    // A warning on the frame rates comes once every check has passed.
    void Warn(const std::string&, const std::string&) override { throw Passed{}; }
    void ProgressBegin(std::int32_t) override { throw Passed{}; }
    void ProgressStep(std::int32_t) override {}
    void ProgressEnd() override {}
};

}  // namespace

ResultsWindow::ResultsWindow(Prompts& prompts, QWidget* parent)
    : QWidget(parent, Qt::Window), prompts_(prompts)
{
    resize(1000, 700);

    chart_ = new QChart;
    chart_->legend()->setAlignment(Qt::AlignBottom);
    frameAxis_ = new QValueAxis;
    frameAxis_->setTitleText(U8("帧"));
    frameAxis_->setLabelFormat(QStringLiteral("%d"));
    valueAxis_ = new QValueAxis;
    psnrLabels_ = valueAxis_->labelFormat();
    chart_->addAxis(frameAxis_, Qt::AlignBottom);
    chart_->addAxis(valueAxis_, Qt::AlignLeft);
    chartView_ = new ChartView(chart_, this);
    chartView_->setObjectName(QStringLiteral("frames"));
    chartView_->setFocusPolicy(Qt::NoFocus);
    chartView_->frameClicked = [this](int frame) { OpenFrame(frame); };
    connect(frameAxis_, &QValueAxis::rangeChanged, this, [this] { Redecimate(); });
    connect(chart_, &QChart::plotAreaChanged, this, [this] { Redecimate(); });

    metricChoice_ = new QComboBox(this);
    metricChoice_->addItem(MetricTitle(kPsnr), QString::fromUtf8(kPsnr));
    planeChoice_ = new QComboBox(this);
    for (const char* name : kPlaneNames)
        planeChoice_->addItem(QString::fromUtf8(name));
    for (QComboBox* choice : {metricChoice_, planeChoice_})
        choice->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    connect(metricChoice_, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index < 0)
            return;
        metric_ = metricChoice_->itemData(index).toString().toStdString();
        ShowChoice();
    });
    connect(planeChoice_, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index < 0)
            return;
        plane_ = index;
        ShowChoice();
    });

    tabs_ = new QTabBar(this);
    tabs_->setObjectName(QStringLiteral("sequences"));
    tabs_->setFocusPolicy(Qt::NoFocus);
    connect(tabs_, &QTabBar::currentChanged, this, [this](int index) {
        if (index >= 0)
            ShowSequence(index);
    });
    statistics_ = new QLabel(this);
    statistics_->setTextFormat(Qt::RichText);
    statistics_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    statistics_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    model_ = new FrameTableModel(this);
    sorted_ = new FrameSortModel(this);
    sorted_->setSourceModel(model_);
    table_ = new QTableView(this);
    table_->setModel(sorted_);
    table_->setSortingEnabled(true);
    table_->sortByColumn(FrameTableModel::Frame, Qt::AscendingOrder);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->verticalHeader()->hide();
    // Fixed row heights: a header never measures 100,000 rows.
    table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 6);
    table_->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    connect(table_, &QTableView::activated, this, [this](const QModelIndex& index) {
        OpenFrame(sorted_->index(index.row(), FrameTableModel::Frame).data(FrameTableModel::SortRole).toInt());
    });

    const auto button = [this](const char* text) { return new QPushButton(U8(text), this); };
    add_ = button("添加比较序列…");
    QPushButton* csv = button("导出CSV…");
    QPushButton* json = button("导出JSON…");
    QPushButton* report = button("导出报告…");
    QPushButton* chartPng = button("保存图表…");
    QPushButton* whole = button("整个序列");
    whole->setToolTip(U8("缩放回整个序列（在图表上拖动可放大一段帧）"));
    for (QPushButton* b : {add_, csv, json, report, chartPng, whole})
        b->setAutoDefault(false);
    connect(add_, &QPushButton::clicked, this, &ResultsWindow::OnAddSequence);
    connect(csv, &QPushButton::clicked, this, [this] { OnExport(Export::Csv); });
    connect(json, &QPushButton::clicked, this, [this] { OnExport(Export::Json); });
    connect(report, &QPushButton::clicked, this, [this] { OnExport(Export::Report); });
    connect(chartPng, &QPushButton::clicked, this, &ResultsWindow::OnSaveChart);
    connect(whole, &QPushButton::clicked, this, &ResultsWindow::ShowWholeRun);
    progress_ = new QProgressBar(this);
    progress_->setTextVisible(false);
    progress_->setMaximumWidth(160);
    progress_->hide();
    progressTimer_ = new QTimer(this);
    progressTimer_->setInterval(50);
    connect(progressTimer_, &QTimer::timeout, this,
            [this] { progress_->setValue(pendingStep_.load(std::memory_order_relaxed)); });

    auto* buttons = new QHBoxLayout;
    for (QWidget* w : std::initializer_list<QWidget*>{add_, progress_})
        buttons->addWidget(w);
    buttons->addStretch();
    auto* metricLabel = new QLabel(U8("指标："), this);
    auto* planeLabel = new QLabel(U8("平面："), this);
    buttons->addWidget(metricLabel);
    buttons->addWidget(metricChoice_);
    buttons->addWidget(planeLabel);
    buttons->addWidget(planeChoice_);
    buttons->addSpacing(12);
    for (QWidget* w : std::initializer_list<QWidget*>{whole, chartPng, csv, json, report})
        buttons->addWidget(w);

    auto* lower = new QWidget(this);
    auto* lowerLayout = new QHBoxLayout(lower);
    lowerLayout->setContentsMargins(0, 0, 0, 0);
    lowerLayout->addWidget(statistics_);
    lowerLayout->addWidget(table_, 1);
    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(chartView_);
    auto* below = new QWidget(this);
    auto* belowLayout = new QVBoxLayout(below);
    belowLayout->setContentsMargins(0, 0, 0, 0);
    belowLayout->addWidget(tabs_);
    belowLayout->addWidget(lower);
    splitter->addWidget(below);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    chartView_->setMinimumHeight(220);
    splitter->setSizes({420, 280});

    // The per-frame view first, as it always was; the encodes' rates and
    // qualities beside it. What belongs to the frames goes with their page.
    pages_ = new QTabWidget(this);
    pages_->setDocumentMode(true);
    pages_->setFocusPolicy(Qt::NoFocus);
    pages_->addTab(splitter, U8("逐帧"));
    rateQuality_ = new RateQualityPage(this);
    pages_->addTab(rateQuality_, U8("码率-质量"));
    connect(pages_, &QTabWidget::currentChanged, this, [this, metricLabel, planeLabel, whole](int page) {
        for (QWidget* w : std::initializer_list<QWidget*>{metricLabel, metricChoice_, planeLabel, planeChoice_, whole})
            w->setVisible(page == 0);
    });

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(buttons);
    layout->addWidget(pages_);

    viewer_ = new FrameViewer(prompts_, this);
    auto* esc = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(esc, &QShortcut::activated, this, &QWidget::close);
}

ResultsWindow::~ResultsWindow()
{
    if (!worker_)
        return;
    // A comparison cannot be stopped: wait for it, answering its calls unseen.
    closing_ = true;
    while (!worker_->wait(QDeadlineTimer(20)))
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    delete worker_;
}

void ResultsWindow::SetRun(Measured run)
{
    ++generation_;
    sequences_.clear();
    lines_.clear();
    chart_->removeAllSeries();
    while (tabs_->count() > 0)
        tabs_->removeTab(0);
    viewer_->hide();
    sequences_.push_back(std::move(run));
    AddToChart(*sequences_.back(), 0);
    rateQuality_->Clear();
    rateQuality_->Add(sequences_.back());
    OfferMetrics();
    ShowChoice();
    ShowWholeRun();
    ShowSequence(0);
    UpdateButtons();
    table_->setFocus(Qt::OtherFocusReason);
}

const Measured& ResultsWindow::Shown() const { return sequences_.at(std::size_t(shown_)); }

void ResultsWindow::ShowSequence(int index)
{
    if (index < 0 || index >= SequenceCount())
        return;
    shown_ = index;
    if (tabs_->currentIndex() != index)
        tabs_->setCurrentIndex(index);
    model_->SetMetric(metric_);
    model_->SetSequence(sequences_[std::size_t(index)]);
    ShowStatistics();
    // Enter on the table opens a frame at once.
    table_->setCurrentIndex(sorted_->index(0, 0));
}

void ResultsWindow::ShowStatistics()
{
    if (shown_ >= SequenceCount())
        return;
    const MeasuredSequence& shown = *sequences_[std::size_t(shown_)];
    const std::string worstBy = WorstBy(shown.record.outcome.description, metric_);
    statistics_->setText(StatisticsHtml(shown, worstBy));
    viewer_->SetWorstBy(worstBy);
}

void ResultsWindow::AddToChart(const MeasuredSequence& sequence, int index)
{
    tabs_->addTab(FileName(sequence.settings.targetPath));
    tabs_->setTabToolTip(tabs_->count() - 1, QString::fromStdString(sequence.settings.targetPath));
    SequenceLines lines;
    lines.line = new QLineSeries;
    lines.line->setName(LegendName(chart_->legend()->font(), sequence.settings.targetPath));
    lines.line->setPen(QPen(LineColour(index), 2));
    lines.mean = new QLineSeries;
    lines.mean->setPen(QPen(LineColour(index), 1, Qt::DashLine));
    for (QLineSeries* series : {lines.line, lines.mean}) {
        chart_->addSeries(series);
        series->attachAxis(frameAxis_);
        series->attachAxis(valueAxis_);
    }
    chart_->legend()->markers(lines.mean).value(0)->setVisible(false);
    // A legend entry shows or hides its sequence, the mean with it.
    QLegendMarker* marker = chart_->legend()->markers(lines.line).value(0);
    QLineSeries* line = lines.line;
    QLineSeries* mean = lines.mean;
    connect(marker, &QLegendMarker::clicked, this, [line, mean, marker] {
        const bool visible = !line->isVisible();
        line->setVisible(visible);
        mean->setVisible(visible);
        marker->setVisible(true);
        QBrush label = marker->labelBrush();
        QColor colour = label.color();
        colour.setAlphaF(visible ? 1.0 : 0.4);
        label.setColor(colour);
        marker->setLabelBrush(label);
    });
    lines_.push_back(lines);
}

// The metrics the run measured; the one shown stays when the new run has it.
void ResultsWindow::OfferMetrics()
{
    const QSignalBlocker quiet(metricChoice_);
    metricChoice_->clear();
    const std::vector<std::string> metrics = MetricsOf(sequences_.front()->record.outcome.description);
    for (const std::string& metric : metrics)
        metricChoice_->addItem(MetricTitle(metric), QString::fromStdString(metric));
    if (std::find(metrics.begin(), metrics.end(), metric_) == metrics.end())
        metric_ = kPsnr;
    metricChoice_->setCurrentIndex(metricChoice_->findData(QString::fromStdString(metric_)));
    metricChoice_->setEnabled(metrics.size() > 1);
}

// Puts the metric and plane chosen on the chart, the table and the title.
void ResultsWindow::ShowChoice()
{
    // Planes no sequence has for this metric (chroma of gray, a metric
    // without a frame value) cannot be chosen; Y always can.
    auto* planes = static_cast<QStandardItemModel*>(planeChoice_->model());
    for (int plane = 0; plane < PlaneCount; ++plane) {
        bool present = false;
        for (const Measured& sequence : sequences_)
            present = present || Locate(sequence->record.outcome.description, metric_, plane).Present();
        planes->item(plane)->setEnabled(present || plane == PlaneY);
        if (!present && plane == plane_)
            plane_ = PlaneY;
    }
    {
        const QSignalBlocker quiet(planeChoice_);
        planeChoice_->setCurrentIndex(plane_);
    }
    const QString title = MetricTitle(metric_);
    valueAxis_->setTitleText(metric_ == kPsnr ? U8("PSNR (dB)") : title);
    if (!sequences_.empty())
        setWindowTitle(title + U8(" 曲线 - ") + FileName(sequences_.front()->settings.targetPath));
    for (std::size_t s = 0; s < sequences_.size() && s < lines_.size(); ++s) {
        const std::vector<FrameResult>& frames = sequences_[s]->record.frames;
        const double value = MeanOf(*sequences_[s], metric_, plane_);
        QList<QPointF> mean;
        if (!std::isnan(value))
            mean = {QPointF(0, value), QPointF(frames.empty() ? 0 : frames.back().frame, value)};
        lines_[s].mean->replace(mean);
    }
    if (model_->Metric() != metric_ && !sequences_.empty()) {
        model_->SetMetric(metric_);
        // A metric with fewer columns than the one sorted by goes back to frame order.
        if (table_->horizontalHeader()->sortIndicatorSection() >= model_->columnCount())
            table_->sortByColumn(FrameTableModel::Frame, Qt::AscendingOrder);
        table_->setCurrentIndex(sorted_->index(0, 0));
    }
    ShowStatistics();
    FitValueAxis();
    Redecimate();
}

void ResultsWindow::ShowMetric(const std::string& metric)
{
    const int index = metricChoice_->findData(QString::fromStdString(metric));
    if (index >= 0)
        metricChoice_->setCurrentIndex(index);
}

void ResultsWindow::ShowPlane(int plane)
{
    auto* planes = static_cast<QStandardItemModel*>(planeChoice_->model());
    if (plane >= 0 && plane < PlaneCount && planes->item(plane)->isEnabled())
        planeChoice_->setCurrentIndex(plane);
}

std::vector<QLineSeries*> ResultsWindow::Lines() const
{
    std::vector<QLineSeries*> lines;
    for (const auto& l : lines_)
        lines.push_back(l.line);
    return lines;
}

QPointF ResultsWindow::FrameRange() const { return QPointF(frameAxis_->min(), frameAxis_->max()); }

void ResultsWindow::ShowWholeRun()
{
    double last = 0;
    for (const Measured& sequence : sequences_)
        if (!sequence->record.frames.empty())
            last = std::max<double>(last, sequence->record.frames.back().frame);
    chart_->zoomReset();
    frameAxis_->setRange(0, std::max(last, 1.0));
    FitValueAxis();
    Redecimate();
}

void ResultsWindow::FitValueAxis()
{
    double low = INFINITY, high = -INFINITY;
    for (const Measured& sequence : sequences_) {
        const ValueOf valueOf = Locate(sequence->record.outcome.description, metric_, plane_);
        if (!valueOf.Present())
            continue;
        for (const FrameResult& frame : sequence->record.frames)
            if (const double value = valueOf(frame); !std::isnan(value))
                low = std::min(low, value), high = std::max(high, value);
    }
    if (metric_ == kPsnr) {
        if (!(low <= high))
            low = 0, high = 100;
        valueAxis_->setLabelFormat(psnrLabels_);
        valueAxis_->setRange(std::floor(low) - 1, std::ceil(high) + 1);
        return;
    }
    // Scores near 1 differ in their third or fourth decimal: the axis spans
    // what there is, with as many decimals as its steps need.
    if (!(low <= high))
        low = 0, high = 1;
    const double margin = std::max((high - low) * 0.05, 0.0005);
    low -= margin, high += margin;
    const int decimals = std::clamp(int(std::ceil(-std::log10(high - low))) + 1, 1, 6);
    valueAxis_->setLabelFormat(QStringLiteral("%.") + QString::number(decimals) + u'f');
    valueAxis_->setRange(low, high);
}

void ResultsWindow::Redecimate()
{
    if (redecimating_)
        return;
    redecimating_ = true;
    const int columns = std::max(int(chart_->plotArea().width()), 100);
    for (std::size_t s = 0; s < sequences_.size() && s < lines_.size(); ++s)
        lines_[s].line->replace(Decimate(sequences_[s]->record.frames,
                                         Locate(sequences_[s]->record.outcome.description, metric_, plane_),
                                         frameAxis_->min(), frameAxis_->max(), columns));
    redecimating_ = false;
}

void ResultsWindow::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    Redecimate();
}

void ResultsWindow::OpenFrame(int frame)
{
    const Measured& sequence = Shown();
    if (sequence->record.frames.empty())
        return;
    frame = std::clamp(frame, 0, int(sequence->record.frames.size()) - 1);
    viewer_->Open(sequence, frame);
}

bool ResultsWindow::WriteExport(Export kind, const QString& path)
{
    const RunRecord& record = Shown()->record;
    std::string text;
    try {
        text = kind == Export::Csv ? CsvText(record) : kind == Export::Json ? JsonText(record) : HtmlReport(record);
    } catch (const std::bad_alloc&) {
        ShowOutOfMemory(prompts_, this);
        return false;
    }
    if (WriteOutput(path.toStdString(), text))
        return true;
    prompts_.showMessage(this, U8("不能写入 %1！\n请确认路径是否正确。").arg(path), U8("Lorvane"),
                         QMessageBox::Warning);
    return false;
}

void ResultsWindow::OnExport(Export kind)
{
    static const char* const suffixes[] = {"csv", "json", "html"};
    static const char* const filters[] = {"CSV文件(*.csv);;所有文件 (*.*)", "JSON文件(*.json);;所有文件 (*.*)",
                                          "HTML文件(*.html);;所有文件 (*.*)"};
    const int k = int(kind);
    const QString stem = QFileInfo(QString::fromStdString(Shown()->settings.targetPath)).completeBaseName();
    const QString path = prompts_.chooseFile(
        this, {FileRequest::Kind::Save, QString::fromUtf8(suffixes[k]), stem + "." + suffixes[k], U8(filters[k])});
    if (!path.isEmpty())
        WriteExport(kind, path);
}

bool ResultsWindow::SaveChart(const QString& path)
{
    QWidget* chart = pages_->currentWidget() == rateQuality_ ? static_cast<QWidget*>(rateQuality_->View()) : chartView_;
    if (chart->grab().save(path, "PNG"))
        return true;
    prompts_.showMessage(this, U8("不能写入 %1！\n请确认路径是否正确。").arg(path), U8("Lorvane"),
                         QMessageBox::Warning);
    return false;
}

void ResultsWindow::OnSaveChart()
{
    const QString stem = QFileInfo(QString::fromStdString(Shown()->settings.targetPath)).completeBaseName();
    const QString shown = pages_->currentWidget() == rateQuality_ ? QStringLiteral("rd") : MetricTitle(metric_).toLower();
    const QString path = prompts_.chooseFile(
        this, {FileRequest::Kind::Save, QStringLiteral("png"), stem + u'-' + shown + ".png",
               U8("PNG图像(*.png);;所有文件 (*.*)")});
    if (!path.isEmpty())
        SaveChart(path);
}

void ResultsWindow::OnAddSequence()
{
    AddSequences(prompts_.chooseFiles(
        this, {FileRequest::Kind::Open, QStringLiteral("yuv"), QStringLiteral("*.yuv"),
               U8("YUV文件(*.yuv *.y4m);;") + U8(kVideoFilter) + U8(";;所有文件 (*.*)")}));
}

void ResultsWindow::AddSequences(const QStringList& paths)
{
    if (paths.isEmpty() || IsMeasuring() || sequences_.empty() || SequenceCount() >= kMaxSequences)
        return;
    PsnrSettings settings = sequences_.front()->settings;
    pendingGeneration_ = generation_;
    settings.resultPath.clear();  // the run's result file stays the run's
    // Only the frames the run itself compared can be set side by side.
    settings.frameCount = sequences_.front()->record.outcome.framesCompared;
    pending_.clear();
    pendingOutOfMemory_ = false;
    pendingStep_ = 0;
    progress_->setRange(0, std::max(settings.frameCount, 1));
    progress_->setValue(0);
    progress_->show();
    progressTimer_->start();
    std::deque<std::string> files;
    for (const QString& path : paths)
        files.push_back(path.toStdString());
    const int room = kMaxSequences - SequenceCount();
    worker_ = QThread::create([this, settings, files = std::move(files), room] { Measure(settings, files, room); });
    connect(worker_, &QThread::finished, this, &ResultsWindow::OnMeasuringEnded);
    worker_->start();
    UpdateButtons();
}

void ResultsWindow::SayFromWorker(const std::string& text, const std::string& title, MessageIcon icon)
{
    QMetaObject::invokeMethod(this, [this, &text, &title, icon] {
        if (!closing_)
            prompts_.showMessage(this, QString::fromStdString(text), QString::fromStdString(title),
                                 icon == MessageIcon::Error     ? QMessageBox::Critical
                                 : icon == MessageIcon::Warning ? QMessageBox::Warning
                                                                : QMessageBox::NoIcon);
    }, Qt::BlockingQueuedConnection);
}

// On the worker thread. The files chosen go in one pass, the reference read
// once for all, as many as there is room for. A pass stops before its frame
// loop for any one file that cannot be measured: such a file is said as its
// own add would say it and left out, and the others go again. When none fails
// alone, it was their sum (frame buffers for all of them at once, say): they
// go one at a time. A file that fails takes no room; the next chosen takes it.
void ResultsWindow::Measure(const PsnrSettings& settings, std::deque<std::string> files, int room)
{
    std::size_t together = files.size();
    std::vector<std::string> said;  // a failure of the reference's is the same for every file: said once
    while (!files.empty() && room > 0 && !closing_) {
        const std::size_t count = std::min({files.size(), std::size_t(room), together});
        const std::size_t first = pending_.size();
        std::deque<ComparisonFeedback> feedbacks;
        std::vector<RunTarget> targets(count);
        try {
            for (std::size_t i = 0; i < count; ++i) {
                Pending& sequence = pending_.emplace_back();
                sequence.settings = settings;
                sequence.settings.targetPath = files[i];
                RunTarget& target = targets[i];
                target.path = files[i];
                target.frameCount = settings.frameCount;
                target.offset = settings.offset;
                target.feedback = &feedbacks.emplace_back(*this, first + i);
            }
            if (count == 1) {
                RunComparisons(settings, targets, feedbacks.front());  // an add of one file, as it always was
            } else {
                SharedRunFeedback shared(*this);
                RunComparisons(settings, targets, shared);
                if (!shared.ReachedFrames()) {
                    pending_.erase(pending_.begin() + std::ptrdiff_t(first), pending_.end());
                    std::vector<bool> failed(count);
                    for (std::size_t i = 0; i < count && !closing_; ++i) {
                        CheckAlone check;
                        RunTarget alone = targets[i];
                        alone.feedback = &check;
                        try {
                            RunComparisons(settings, {alone}, check);
                        } catch (const CheckAlone::Passed&) {
                            continue;
                        }
                        failed[i] = true;
                        if (check.told && std::find(said.begin(), said.end(), check.text) == said.end()) {
                            said.push_back(check.text);
                            SayFromWorker(check.text, check.title, check.icon);
                        }
                    }
                    if (std::find(failed.begin(), failed.end(), true) == failed.end())
                        together = 1;
                    for (std::size_t i = count; i-- > 0;)
                        if (failed[i])
                            files.erase(files.begin() + std::ptrdiff_t(i));
                    continue;
                }
            }
        } catch (const std::bad_alloc&) {
            // Said on the GUI thread once the thread has ended; this pass's records go now.
            pending_.erase(pending_.begin() + std::ptrdiff_t(first), pending_.end());
            pendingOutOfMemory_ = true;
            return;
        }
        for (std::size_t i = first; i < pending_.size(); ++i)
            room -= pending_[i].ended && pending_[i].outcome.framesCompared > 0 ? 1 : 0;
        files.erase(files.begin(), files.begin() + std::ptrdiff_t(count));
    }
}

void ResultsWindow::OnMeasuringEnded()
{
    if (!worker_)
        return;
    worker_->wait();
    delete worker_;
    worker_ = nullptr;
    progressTimer_->stop();
    progress_->hide();
    bool outOfMemory = pendingOutOfMemory_;
    const int before = SequenceCount();
    for (Pending& pending : pending_) {
        if (outOfMemory || pendingGeneration_ != generation_ || SequenceCount() >= kMaxSequences)
            break;
        if (!pending.ended || pending.outcome.framesCompared <= 0)
            continue;
        std::shared_ptr<MeasuredSequence> sequence;
        try {
            sequence = std::make_shared<MeasuredSequence>();
            sequence->settings = std::move(pending.settings);
            sequence->record.outcome = pending.outcome;
            sequence->record.frames = std::move(pending.frames);
            sequence->record.statistics =
                ComputeStatistics(sequence->record.frames, pending.outcome.description, kWorstFrames);
        } catch (const std::bad_alloc&) {
            outOfMemory = true;
            break;
        }
        sequences_.push_back(std::move(sequence));
        AddToChart(*sequences_.back(), SequenceCount() - 1);
        rateQuality_->Add(sequences_.back());
    }
    pending_ = {};
    if (SequenceCount() > before) {
        ShowChoice();
        ShowSequence(SequenceCount() - 1);
    }
    UpdateButtons();
    if (outOfMemory)
        ShowOutOfMemory(prompts_, this);
    emit measuringEnded();
}

void ResultsWindow::UpdateButtons()
{
    add_->setEnabled(!IsMeasuring() && !sequences_.empty() && SequenceCount() < kMaxSequences);
}

}  // namespace lorvane
