#include "frametablemodel.h"

#include <cmath>
#include <limits>

namespace lorvane {
namespace {

double Value(const FrameResult& frame, int column)
{
    switch (column) {
    case FrameTableModel::Frame: return frame.frame;
    case FrameTableModel::PsnrY: return frame.psnr[0];
    case FrameTableModel::PsnrU: return frame.psnr[1];
    case FrameTableModel::PsnrV: return frame.psnr[2];
    case FrameTableModel::PsnrYuv: return frame.psnrYuv;
    case FrameTableModel::MseY: return frame.mse[0];
    }
    return 0;
}

}  // namespace

void FrameTableModel::SetSequence(Measured sequence)
{
    beginResetModel();
    sequence_ = std::move(sequence);
    endResetModel();
}

int FrameTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() || !sequence_ ? 0 : int(sequence_->record.frames.size());
}

int FrameTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant FrameTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const FrameResult& frame = sequence_->record.frames[std::size_t(index.row())];
    const double value = Value(frame, index.column());
    switch (role) {
    case Qt::DisplayRole:
        // The digits of the result file, so that a row reads as its line does.
        return index.column() == Frame ? QString::number(frame.frame) : QString::fromStdString(FormatValue(value));
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
    static const char* const titles[] = {"帧", "PSNR Y", "PSNR U", "PSNR V", "PSNR YUV", "MSE Y"};
    return section >= 0 && section < ColumnCount ? QString::fromUtf8(titles[section]) : QVariant();
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
