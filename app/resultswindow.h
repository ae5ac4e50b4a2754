// The results of the last run: the per-frame chart of one metric and plane at
// a time (one line and one colour per sequence), the statistics, the frames
// table, the exports, and further processed sequences measured against the
// same reference for comparison.
#pragma once

#include <QWidget>

#include <QString>
#include <QStringList>

#include <atomic>
#include <deque>
#include <string>
#include <vector>

#include "measured.h"

class QChart;
class QComboBox;
class QLabel;
class QLineSeries;
class QProgressBar;
class QPushButton;
class QTabBar;
class QTabWidget;
class QTableView;
class QThread;
class QTimer;
class QValueAxis;

namespace lorvane {

class ChartView;
class FrameSortModel;
class FrameTableModel;
class FrameViewer;
class Prompts;
class RateQualityPage;

class ResultsWindow : public QWidget {
    Q_OBJECT

public:
    // Sequences one window compares at most, the run's own included.
    static constexpr int kMaxSequences = 12;
    enum class Export { Csv, Json, Report };

    ResultsWindow(Prompts& prompts, QWidget* parent);
    ~ResultsWindow() override;

    // Replaces everything shown with a new run; comparison sequences go.
    void SetRun(Measured run);
    int SequenceCount() const { return int(sequences_.size()); }
    // The sequence the table, the statistics and the exports show.
    const Measured& Shown() const;
    void ShowSequence(int index);

    // Writes the shown sequence's CSV, JSON or report; false, after a warning, when it could not.
    bool WriteExport(Export kind, const QString& path);
    bool SaveChart(const QString& path);
    // Measures `paths` against the run's reference and settings on a worker
    // thread, all in one pass where they can be, as many as there is room for.
    void AddSequences(const QStringList& paths);
    void AddSequence(const QString& path) { AddSequences({path}); }
    bool IsMeasuring() const { return worker_ != nullptr; }

    QTableView* Table() const { return table_; }
    // The 码率-质量 tab: a series and a rate for each sequence, the curves and the deltas.
    RateQualityPage* RateQuality() const { return rateQuality_; }
    QTabWidget* Pages() const { return pages_; }
    FrameViewer* Viewer() const { return viewer_; }
    // The frame range the chart shows.
    QPointF FrameRange() const;
    // What the chart and the table show: a metric the run measured ("psnr",
    // "ssim", ...) and a ShownPlane. Either is ignored when not measured.
    void ShowMetric(const std::string& metric);
    void ShowPlane(int plane);
    const std::string& Metric() const { return metric_; }
    int Plane() const { return plane_; }
    // The chart's line of each sequence, in the order they were added.
    std::vector<QLineSeries*> Lines() const;

    void OpenFrame(int frame);
    void ShowWholeRun();

signals:
    // A comparison sequence was measured (or failed to be) and the window shows it.
    void measuringEnded();

protected:
    void resizeEvent(QResizeEvent* event) override;
    // Keeps the numbers of each frame of a comparison, on its worker thread.
    // `sequence` numbers the files one add measures, in the order their runs
    // took them; the files of one pass take turns frame by frame.
    virtual void FrameMeasured(std::size_t sequence, const FrameResult& frame)
    {
        pending_[sequence].frames.push_back(frame);
    }

private:
    // One file of an add, as its run hands it back.
    struct Pending {
        PsnrSettings settings;
        std::vector<FrameResult> frames;
        RunOutcome outcome;
        bool ended = false;
    };
    struct SequenceLines {
        QLineSeries* line = nullptr;
        QLineSeries* mean = nullptr;
    };

    void OnExport(Export kind);
    void OnSaveChart();
    void OnAddSequence();
    void Measure(const PsnrSettings& settings, std::deque<std::string> files, int room);
    void SayFromWorker(const std::string& text, const std::string& title, MessageIcon icon);
    void OnMeasuringEnded();
    void AddToChart(const MeasuredSequence& sequence, int index);
    void OfferMetrics();
    // The shown sequence's statistics, its worst frames those of the metric chosen.
    void ShowStatistics();
    void ShowChoice();
    void Redecimate();
    void FitValueAxis();
    void UpdateButtons();

    Prompts& prompts_;
    std::vector<Measured> sequences_;
    std::vector<SequenceLines> lines_;
    int shown_ = 0;
    std::string metric_ = "psnr";
    int plane_ = 0;  // a ShownPlane

    QChart* chart_;
    ChartView* chartView_;
    QValueAxis* frameAxis_;
    QValueAxis* valueAxis_;
    QString psnrLabels_;  // the value axis's label format for decibels
    QComboBox* metricChoice_;
    QComboBox* planeChoice_;
    QTabBar* tabs_;
    QTabWidget* pages_;
    RateQualityPage* rateQuality_;
    QLabel* statistics_;
    QTableView* table_;
    FrameTableModel* model_;
    FrameSortModel* sorted_;
    QPushButton* add_;
    QProgressBar* progress_;
    QTimer* progressTimer_;
    FrameViewer* viewer_;
    bool redecimating_ = false;
    int generation_ = 0;  // a new run makes a comparison still being measured stale

    // A comparison run on its worker thread, and what it hands back.
    friend class ComparisonFeedback;
    friend class SharedRunFeedback;
    QThread* worker_ = nullptr;
    std::vector<Pending> pending_;
    int pendingGeneration_ = 0;
    bool pendingOutOfMemory_ = false;
    std::atomic<std::int32_t> pendingStep_{0};
    std::atomic<bool> closing_{false};
};

}  // namespace lorvane
