// The frames of one measured sequence as a table, for one metric at a time:
// for PSNR frame, PSNR Y/U/V, combined YUV PSNR, MSE Y; for any other metric
// frame and its scores per plane, as the run names them. Rows are the run's
// own vector, so 100,000 frames cost no copies; sorting goes through
// FrameSortModel on numeric values.
#pragma once

#include <QAbstractTableModel>
#include <QSortFilterProxyModel>
#include <QString>

#include <string>
#include <vector>

#include "measured.h"

namespace lorvane {

// The planes the window offers for every metric; Yuv is the frame's value
// over all its planes (PSNR's combined YUV, SSIM's sample-weighted "ssim").
enum ShownPlane { PlaneY, PlaneU, PlaneV, PlaneYuv, PlaneCount };

// Where one plane of one metric lies among a frame's numbers. Metrics beyond
// PSNR are found by their score names, "<metric>_y", "_cb", "_cr" and
// "<metric>" for the frame, so that a new metric shows without new code here.
struct ValueOf {
    enum class Field { None, Psnr, Mse, Score } field = Field::None;
    int index = 0;  // Psnr: a ShownPlane; Mse: 0 to 2; Score: into FrameResult::scores
    bool Present() const { return field != Field::None; }
    // Not-a-number where the frame has no such value.
    double operator()(const FrameResult& frame) const;
};
inline constexpr const char* kPsnr = "psnr";
ValueOf Locate(const RunDescription& description, const std::string& metric, int plane);

// The metrics a run measured, PSNR first, each once: "psnr", "ssim", "ms_ssim".
std::vector<std::string> MetricsOf(const RunDescription& description);
// As people write it: "PSNR", "SSIM", "MS-SSIM".
QString MetricTitle(const std::string& metric);

class FrameTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    // PSNR's columns; another metric has Frame and then its planes Y, U, V, YUV that it gives.
    enum Column { Frame, PsnrY, PsnrU, PsnrV, PsnrYuv, MseY, ColumnCount };
    // The value a column sorts by: a double, not-a-number below every number.
    static constexpr int SortRole = Qt::UserRole;

    using QAbstractTableModel::QAbstractTableModel;
    void SetSequence(Measured sequence);
    const Measured& Sequence() const { return sequence_; }
    // The metric whose columns the table shows; one the sequence lacks shows PSNR's.
    void SetMetric(const std::string& metric);
    const std::string& Metric() const { return metric_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    void Arrange();

    Measured sequence_;
    std::string metric_ = kPsnr;
    struct Shown {
        QString title;
        ValueOf value;  // not present: the frame number
    };
    std::vector<Shown> columns_;
};

class FrameSortModel : public QSortFilterProxyModel {
    Q_OBJECT

public:
    explicit FrameSortModel(QObject* parent = nullptr);

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;
};

}  // namespace lorvane
