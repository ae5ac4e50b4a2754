// One frame of a measured sequence: the reference, the processed frame, their
// error map and, when the run measured SSIM, their SSIM map for the plane
// chosen, side by side with one shared view. Only the frame shown is read, on
// a worker thread.
#pragma once

#include <QFutureWatcher>
#include <QImage>
#include <QWidget>

#include "errormap.h"
#include "measured.h"

class QComboBox;
class QLabel;
class QPushButton;

namespace lorvane {

class Panes;
class Prompts;

// The pictures of one frame, made off the GUI thread.
struct FramePictures {
    int frame = -1;
    QString error;  // not empty: nothing could be shown
    QImage reference[3], processed[3];
    ErrorMap errors[3];
    bool ssimShown = false;  // the run measured SSIM: its map is a fourth picture
    SsimMap ssim[3];
    int bits = 8;
};
// Reads frame `frame` of both files of `sequence` and paints its pictures.
FramePictures MakeFramePictures(const MeasuredSequence& sequence, int frame);

class FrameViewer : public QWidget {
    Q_OBJECT

public:
    FrameViewer(Prompts& prompts, QWidget* parent);
    ~FrameViewer() override;

    // Shows the window and starts reading `frame`.
    void Open(Measured sequence, int frame);
    int Frame() const { return frame_; }
    int Plane() const;
    const FramePictures& Pictures() const { return pictures_; }
    // What 最差帧 jumps to: the lowest frame of a luma score ("ssim_y"), or
    // with none the frame of largest luma MSE.
    void SetWorstBy(const std::string& score);
    // Writes <stem>-reference.png, <stem>-processed.png, <stem>-error.png and
    // with SSIM <stem>-ssim.png next to `path`; false, after a warning, when
    // one could not be written.
    bool SavePictures(const QString& path);

signals:
    // The pictures of a frame are on screen (or its error is).
    void frameShown(int frame);

private:
    void Load(int frame);
    void OnLoaded();
    void Step(int delta);
    void UpdateTitle();

    Prompts& prompts_;
    Measured sequence_;
    int frame_ = -1;
    FramePictures pictures_;
    QFutureWatcher<FramePictures> loading_;
    int queued_ = -1;  // asked for while another frame was being read
    std::string worstBy_;
    QComboBox* plane_;
    QPushButton* worst_;
    QLabel* status_;
    Panes* panes_;
};

}  // namespace lorvane
