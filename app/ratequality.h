// Rate and quality of the encodes one results window holds: each encode gets
// a series name and a rate, each series is a curve of rate against the mean
// of one quality, and every series is compared with the one chosen as anchor
// by its Bjøntegaard deltas.
#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <QWidget>

#include <string>
#include <vector>

#include "core/bd.h"
#include "measured.h"

class QChart;
class QColor;
class QChartView;
class QComboBox;
class QLabel;
class QLineSeries;
class QLogValueAxis;
class QStandardItemModel;
class QTableView;
class QValueAxis;

namespace lorvane {

// One colour a line, distinct from its neighbours: a sequence in the
// per-frame chart, a series in the rate-quality one.
QColor LineColour(int index);

// The encodes, one row each: the series and rate are edited here, and a rate
// is taken only when it is a number of kbps above 0. A decoded encode's rate
// starts as the one its run measured, a raw or Y4M one's empty.
class EncodeListModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { Encode, Series, Rate, Quality, ColumnCount };

    using QAbstractTableModel::QAbstractTableModel;
    void Clear();
    void Add(const Measured& sequence);
    // The quality column's metric, one of BdMetricNames.
    void SetMetric(const std::string& metric);

    // Each encode as an RD row with its series and rate; `kbps` is not-a-number
    // when it has none (empty, or typed wrong).
    std::vector<RdRow> Rows() const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;

private:
    struct Entry {
        Measured sequence;
        RdRow row;          // its qualities; series and rate are below
        QString series;
        QString rateText;   // as typed, or the measured rate as shown
        double kbps = 0;    // not-a-number: no rate
        bool measured = false;  // the rate is still the measured one
    };
    QString EncodeName(std::size_t entry) const;

    std::vector<Entry> entries_;
    std::string metric_ = "psnr_y";
};

class RateQualityPage : public QWidget {
    Q_OBJECT

public:
    enum DeltaColumn { TestSeries, BdRate, QualityDelta, QualityInterval, RateInterval, DeltaColumnCount };

    explicit RateQualityPage(QWidget* parent);
    void Clear();
    void Add(const Measured& sequence);

    // The quality the curves and the deltas are taken on, one of BdMetricNames
    // that the run measured; anything else is ignored.
    void ShowMetric(const std::string& metric);
    const std::string& Metric() const { return metric_; }
    // The series the others are compared with, by name ("" is the unnamed one).
    void ShowAnchor(const QString& series);
    QString Anchor() const;

    QTableView* Encodes() const { return encodes_; }
    QTableView* Deltas() const { return deltas_; }
    QChartView* View() const { return view_; }
    // One curve a series with rated encodes, in the order the series first appear.
    const std::vector<QLineSeries*>& Curves() const { return curves_; }
    // What the table cannot say: encodes left out, points not counted.
    QString Notes() const;

private:
    void OfferMetrics();
    void Refresh();

    EncodeListModel* model_;
    std::string metric_ = "psnr_y";
    QString anchor_;
    bool quiet_ = false;  // the page itself is changing the model

    QComboBox* metricChoice_;
    QComboBox* anchorChoice_;
    QTableView* encodes_;
    QTableView* deltas_;
    QStandardItemModel* deltaModel_;
    QLabel* notes_;
    QChart* chart_;
    QChartView* view_;
    QLogValueAxis* rateAxis_;
    QValueAxis* qualityAxis_;
    std::vector<QLineSeries*> curves_;
};

}  // namespace lorvane
