// The frames of one measured sequence as a table: frame, PSNR Y/U/V, combined
// YUV PSNR, MSE Y. Rows are the run's own vector, so 100,000 frames cost no
// copies; sorting goes through FrameSortModel on numeric values.
#pragma once

#include <QAbstractTableModel>
#include <QSortFilterProxyModel>

#include "measured.h"

namespace lorvane {

class FrameTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { Frame, PsnrY, PsnrU, PsnrV, PsnrYuv, MseY, ColumnCount };
    // The value a column sorts by: a double, not-a-number below every number.
    static constexpr int SortRole = Qt::UserRole;

    using QAbstractTableModel::QAbstractTableModel;
    void SetSequence(Measured sequence);
    const Measured& Sequence() const { return sequence_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    Measured sequence_;
};

class FrameSortModel : public QSortFilterProxyModel {
    Q_OBJECT

public:
    explicit FrameSortModel(QObject* parent = nullptr);

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;
};

}  // namespace lorvane
