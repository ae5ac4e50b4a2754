#include "frametablemodel.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace lorvane {
namespace {

const char* const kPlaneNames[PlaneCount] = {"Y", "U", "V", "YUV"};
// The suffix of a score per plane; the frame's own value has none.
const char* const kScoreSuffixes[PlaneCount] = {"_y", "_cb", "_cr", ""};

bool EndsWith(const std::string& text, const std::string& end)
{
    return text.size() > end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

double ValueOf::operator()(const FrameResult& frame) const
{
    switch (field) {
    case Field::Psnr: return index == PlaneYuv ? frame.psnrYuv : frame.psnr[index];
    case Field::Mse: return frame.mse[index];
    case Field::Score:
        if (std::size_t(index) < frame.scores.size())
            return frame.scores[std::size_t(index)];
        break;
    case Field::None: break;
    }
    return std::numeric_limits<double>::quiet_NaN();
}

ValueOf Locate(const RunDescription& description, const std::string& metric, int plane)
{
    ValueOf value;
    // A gray run has no chroma to show; its YUV is its Y.
    if (plane < 0 || plane >= PlaneCount || (plane != PlaneYuv && description.planeSamples[plane] == 0))
        return value;
    if (metric == kPsnr) {
        value = {ValueOf::Field::Psnr, plane};
        return value;
    }
    const std::string name = metric + kScoreSuffixes[plane];
    const auto found = std::find(description.scores.begin(), description.scores.end(), name);
    if (found != description.scores.end())
        value = {ValueOf::Field::Score, int(found - description.scores.begin())};
    return value;
}

std::vector<std::string> MetricsOf(const RunDescription& description)
{
    std::vector<std::string> metrics{kPsnr};
    for (const std::string& name : description.scores) {
        std::string metric = name;
        for (int plane = 0; plane < PlaneYuv; ++plane)
            if (EndsWith(name, kScoreSuffixes[plane]))
                metric = name.substr(0, name.size() - std::string(kScoreSuffixes[plane]).size());
        if (std::find(metrics.begin(), metrics.end(), metric) == metrics.end())
            metrics.push_back(metric);
    }
    return metrics;
}

QString MetricTitle(const std::string& metric)
{
    return QString::fromStdString(metric).toUpper().replace(u'_', u'-');
}

void FrameTableModel::SetSequence(Measured sequence)
{
    beginResetModel();
    sequence_ = std::move(sequence);
    Arrange();
    endResetModel();
}

void FrameTableModel::SetMetric(const std::string& metric)
{
    beginResetModel();
    metric_ = metric;
    Arrange();
    endResetModel();
}

void FrameTableModel::Arrange()
{
    columns_.clear();
    columns_.push_back({QString::fromUtf8("帧"), {}});
    std::vector<Shown> planes;
    if (sequence_ && metric_ != kPsnr) {
        const RunDescription& description = sequence_->record.outcome.description;
        for (int plane = 0; plane < PlaneCount; ++plane)
            if (const ValueOf value = Locate(description, metric_, plane); value.Present())
                planes.push_back({MetricTitle(metric_) + u' ' + kPlaneNames[plane], value});
    }
    if (planes.empty()) {
        // PSNR's columns are the result file's, chroma included whatever the format.
        for (int plane = 0; plane < PlaneCount; ++plane)
            planes.push_back({QStringLiteral("PSNR ") + kPlaneNames[plane], {ValueOf::Field::Psnr, plane}});
        planes.push_back({QStringLiteral("MSE Y"), {ValueOf::Field::Mse, 0}});
    }
    columns_.insert(columns_.end(), planes.begin(), planes.end());
}

int FrameTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() || !sequence_ ? 0 : int(sequence_->record.frames.size());
}

int FrameTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(columns_.size());
}

QVariant FrameTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount())
        return {};
    const FrameResult& frame = sequence_->record.frames[std::size_t(index.row())];
    const ValueOf& column = columns_[std::size_t(index.column())].value;
    const double value = column.Present() ? column(frame) : double(frame.frame);
    switch (role) {
    case Qt::DisplayRole:
        // The digits of the result file, so that a row reads as its line does.
        return column.Present() ? QString::fromStdString(FormatValue(value)) : QString::number(frame.frame);
    case SortRole:
        return std::isnan(value) ? -std::numeric_limits<double>::infinity() : value;
    case Qt::TextAlignmentRole:
        return int(Qt::AlignRight | Qt::AlignVCenter);
    }
    return {};
}

QVariant FrameTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    return section >= 0 && section < columnCount() ? columns_[std::size_t(section)].title : QVariant();
}

FrameSortModel::FrameSortModel(QObject* parent) : QSortFilterProxyModel(parent)
{
    setSortRole(FrameTableModel::SortRole);
}

bool FrameSortModel::lessThan(const QModelIndex& left, const QModelIndex& right) const
{
    const double a = left.data(FrameTableModel::SortRole).toDouble();
    const double b = right.data(FrameTableModel::SortRole).toDouble();
    // Equal values keep frame order, so a sorted table reads predictably.
    return a != b ? a < b : left.row() < right.row();
}

}  // namespace lorvane
