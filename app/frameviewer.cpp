#include "frameviewer.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <cmath>

#include "core/lorvane.h"
#include "frametablemodel.h"
#include "prompts.h"

namespace lorvane {
namespace {

QString U8(const char* text) { return QString::fromUtf8(text); }

const char* const kPaneTitles[4] = {"参考", "处理后", "误差", "SSIM"};

bool MeasuredSsim(const RunDescription& description)
{
    return std::find(description.scores.begin(), description.scores.end(), "ssim_y") != description.scores.end();
}

// The lowest window's SSIM as the legend's end: enough digits to tell it from 1.
QString SsimText(double value) { return QString::number(value, 'g', 6); }

}  // namespace

FramePictures MakeFramePictures(const MeasuredSequence& sequence, int frame)
{
    FramePictures pictures;
    pictures.frame = frame;
    const RunDescription& description = sequence.record.outcome.description;
    const PixelFormat* format = FindPixelFormat(description.format);
    if (!format)
        format = &ClassicFormat();
    pictures.bits = format->bits;
    pictures.ssimShown = MeasuredSsim(description);
    const PictureLayout layout = LayoutOf(*format, description.width, description.height);
    std::vector<std::uint8_t> reference, processed;
    std::string error;
    // Frame numbers count the pairs compared: the files' own frames lie past
    // those the offset and the start skipped.
    const FrameSkips skips = SkipsOf(description.offset, description.start);
    if (!ReadFrameAt(sequence.settings.sourcePath, layout.frameBytes, skips.reference + std::uint64_t(frame), reference,
                     error) ||
        !ReadFrameAt(sequence.settings.targetPath, layout.frameBytes, skips.target + std::uint64_t(frame), processed,
                     error)) {
        pictures.error = QString::fromStdString(error);
        return pictures;
    }
    // Interleaved formats are shown as they are measured: as the planes of their planar twin.
    std::vector<std::uint8_t> referencePlanes(layout.unpackedBytes), processedPlanes(layout.unpackedBytes);
    UnpackFrame(*format, layout, reference.data(), referencePlanes.data());
    UnpackFrame(*format, layout, processed.data(), processedPlanes.data());
    for (int plane = 0; plane < 3; ++plane) {
        const PictureLayout::Plane& p = layout.planes[plane];
        if (p.Samples() == 0)
            continue;
        const PlaneSamples a{PlaneData(layout, plane, reference.data(), referencePlanes.data()), p.width, p.height,
                             format->bits};
        const PlaneSamples b{PlaneData(layout, plane, processed.data(), processedPlanes.data()), p.width, p.height,
                             format->bits};
        pictures.reference[plane] = GreyImage(a);
        pictures.processed[plane] = GreyImage(b);
        pictures.errors[plane] = PaintErrorMap(a, b);
        if (pictures.ssimShown)
            pictures.ssim[plane] = PaintSsimMap(SsimOfWindows(a, b, description.peak), p.width, p.height);
    }
    return pictures;
}

// The pictures in columns, one zoom and one centre for all, so that the same
// samples sit at the same place in each. The maps have a legend below them.
class Panes : public QWidget {
public:
    static constexpr int kMost = 4;
    struct Legend {
        QString low, high;  // the ends of the heat scale; none: no legend
    };

    explicit Panes(QWidget* parent) : QWidget(parent)
    {
        setFocusPolicy(Qt::StrongFocus);
        setMinimumSize(480, 240);
    }

    void SetImages(const QImage* const* images, const Legend* legends, int count)
    {
        const QSize before = images_[0].size();
        count_ = std::clamp(count, 1, kMost);
        for (int i = 0; i < kMost; ++i) {
            images_[i] = i < count_ && images[i] ? *images[i] : QImage();
            legends_[i] = i < count_ ? legends[i] : Legend();
        }
        if (images_[0].size() != before)
            Fit();
        update();
    }
    void Fit()
    {
        scale_ = 0;
        centre_ = QPointF(images_[0].width() / 2.0, images_[0].height() / 2.0);
        update();
    }
    void Actual()
    {
        scale_ = 1;
        update();
    }

protected:
    static constexpr int kCaption = 18, kLegend = 26, kGap = 6;

    QRect Pane(int i) const
    {
        const int w = (width() - (count_ - 1) * kGap) / count_;
        return QRect(i * (w + kGap), kCaption, w, height() - kCaption - kLegend);
    }
    double Scale() const
    {
        if (scale_ > 0 || images_[0].isNull())
            return scale_ > 0 ? scale_ : 1;
        const QRect pane = Pane(0);
        return std::min(double(pane.width()) / images_[0].width(), double(pane.height()) / images_[0].height());
    }

    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), palette().window());
        const double scale = Scale();
        for (int i = 0; i < count_; ++i) {
            const QRect pane = Pane(i);
            painter.setPen(palette().windowText().color());
            painter.drawText(QRect(pane.left(), 0, pane.width(), kCaption), Qt::AlignCenter, U8(kPaneTitles[i]));
            painter.fillRect(pane, Qt::darkGray);
            if (!legends_[i].high.isEmpty())
                PaintLegend(painter, pane, legends_[i]);
            if (images_[i].isNull())
                continue;
            painter.save();
            painter.setClipRect(pane);
            // Enlarged samples stay square; reduced pictures are smoothed.
            painter.setRenderHint(QPainter::SmoothPixmapTransform, scale < 1);
            painter.translate(QPointF(pane.center()) + QPointF(0.5, 0.5));
            painter.scale(scale, scale);
            painter.translate(-centre_);
            painter.drawImage(QPointF(0, 0), images_[i]);
            painter.restore();
        }
    }

    // A map's heat scale under its pane, from black (its low end) to white.
    void PaintLegend(QPainter& painter, const QRect& pane, const Legend& legend)
    {
        const int room = std::max(30, fontMetrics().horizontalAdvance(legend.high) + 6);
        const QRect bar(pane.left() + 30, pane.bottom() + 6, pane.width() - 30 - room, 10);
        QLinearGradient gradient(bar.topLeft(), bar.topRight());
        for (int k = 0; k <= 12; ++k)
            gradient.setColorAt(k / 12.0, HeatColour(k / 12.0));
        painter.fillRect(bar, gradient);
        painter.setPen(palette().windowText().color());
        painter.drawText(QRect(pane.left(), bar.top() - 4, 28, 18), Qt::AlignRight | Qt::AlignVCenter, legend.low);
        painter.drawText(QRect(bar.right() + 2, bar.top() - 4, room, 18), Qt::AlignLeft | Qt::AlignVCenter, legend.high);
    }

    void wheelEvent(QWheelEvent* event) override
    {
        // Zoom about the sample under the pointer.
        int column = 0;
        while (column < count_ - 1 && !Pane(column).contains(event->position().toPoint()))
            ++column;
        const QPointF offset = event->position() - QPointF(Pane(column).center()) - QPointF(0.5, 0.5);
        const double before = Scale();
        const QPointF sample = centre_ + offset / before;
        const double after = std::clamp(before * std::pow(1.25, event->angleDelta().y() / 120.0), 1.0 / 64, 64.0);
        scale_ = after;
        centre_ = sample - offset / after;
        update();
        event->accept();
    }
    void mousePressEvent(QMouseEvent* event) override
    {
        dragFrom_ = event->position();
        setCursor(Qt::ClosedHandCursor);
    }
    void mouseMoveEvent(QMouseEvent* event) override
    {
        if (!(event->buttons() & Qt::LeftButton))
            return;
        scale_ = Scale();
        centre_ -= (event->position() - dragFrom_) / scale_;
        dragFrom_ = event->position();
        update();
    }
    void mouseReleaseEvent(QMouseEvent*) override { unsetCursor(); }
    void resizeEvent(QResizeEvent*) override { update(); }

private:
    int count_ = 3;
    QImage images_[kMost];
    Legend legends_[kMost];
    double scale_ = 0;  // 0: fit to the pane
    QPointF centre_;
    QPointF dragFrom_;
};

FrameViewer::FrameViewer(Prompts& prompts, QWidget* parent) : QWidget(parent, Qt::Window), prompts_(prompts)
{
    resize(1100, 480);
    plane_ = new QComboBox(this);
    plane_->addItems({U8("Y 亮度"), U8("U 色度"), U8("V 色度")});
    status_ = new QLabel(this);
    panes_ = new Panes(this);
    const auto button = [this](const char* text) {
        auto* b = new QPushButton(U8(text), this);
        b->setAutoDefault(false);
        b->setFocusPolicy(Qt::TabFocus);
        return b;
    };
    QPushButton* fit = button("适合窗口");
    QPushButton* actual = button("100%");
    QPushButton* worst = button("最差帧");
    worst_ = worst;
    SetWorstBy({});
    QPushButton* save = button("保存图像…");
    connect(fit, &QPushButton::clicked, panes_, &Panes::Fit);
    connect(actual, &QPushButton::clicked, panes_, &Panes::Actual);
    connect(worst, &QPushButton::clicked, this, [this] {
        if (!sequence_)
            return;
        int frame = sequence_->record.statistics.planes[0].minFrame;
        const std::vector<std::string>& scores = sequence_->record.outcome.description.scores;
        const std::size_t score = std::size_t(std::find(scores.begin(), scores.end(), worstBy_) - scores.begin());
        if (!worstBy_.empty() && score < sequence_->record.statistics.scores.size())
            frame = sequence_->record.statistics.scores[score].minFrame;
        if (frame >= 0)
            Load(frame);
    });
    connect(save, &QPushButton::clicked, this, [this] {
        if (pictures_.frame < 0 || !pictures_.error.isEmpty())
            return;
        const QString stem = QFileInfo(QString::fromStdString(sequence_->settings.targetPath)).completeBaseName();
        const QString path = prompts_.chooseFile(
            this, {FileRequest::Kind::Save, QStringLiteral("png"),
                   QStringLiteral("%1-frame%2.png").arg(stem).arg(frame_), U8("PNG图像(*.png);;所有文件 (*.*)")});
        if (!path.isEmpty())
            SavePictures(path);
    });
    connect(plane_, &QComboBox::currentIndexChanged, this, [this] { OnLoaded(); });

    auto* tools = new QHBoxLayout;
    tools->addWidget(new QLabel(U8("平面："), this));
    tools->addWidget(plane_);
    for (QWidget* w : std::initializer_list<QWidget*>{fit, actual, worst, save})
        tools->addWidget(w);
    tools->addWidget(status_, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(tools);
    layout->addWidget(panes_, 1);

    const auto key = [this](QKeySequence sequence, auto action) {
        auto* shortcut = new QShortcut(sequence, this);
        connect(shortcut, &QShortcut::activated, this, action);
    };
    key(Qt::Key_Left, [this] { Step(-1); });
    key(Qt::Key_PageUp, [this] { Step(-1); });
    key(Qt::Key_Right, [this] { Step(1); });
    key(Qt::Key_PageDown, [this] { Step(1); });
    key(Qt::Key_Escape, [this] { close(); });

    connect(&loading_, &QFutureWatcher<FramePictures>::finished, this, [this] {
        pictures_ = loading_.result();
        OnLoaded();
        emit frameShown(pictures_.frame);
        if (queued_ >= 0) {
            const int next = std::exchange(queued_, -1);
            if (next != pictures_.frame)
                Load(next);
        }
    });
}

FrameViewer::~FrameViewer()
{
    loading_.waitForFinished();
}

void FrameViewer::Open(Measured sequence, int frame)
{
    if (sequence_ != sequence)
        pictures_ = {};
    sequence_ = std::move(sequence);
    show();
    raise();
    activateWindow();
    panes_->setFocus(Qt::OtherFocusReason);
    Load(frame);
}

int FrameViewer::Plane() const { return plane_->currentIndex(); }

void FrameViewer::Load(int frame)
{
    if (!sequence_ || sequence_->record.frames.empty())
        return;
    frame_ = std::clamp(frame, 0, int(sequence_->record.frames.size()) - 1);
    UpdateTitle();
    // One read at a time; keys pressed meanwhile only move where it goes next.
    if (loading_.isRunning()) {
        queued_ = frame_;
        return;
    }
    status_->setText(U8("正在读取…"));
    const Measured sequence = sequence_;
    const int index = frame_;
    loading_.setFuture(QtConcurrent::run([sequence, index] { return MakeFramePictures(*sequence, index); }));
}

void FrameViewer::Step(int delta)
{
    if (sequence_)
        Load(frame_ + delta);
}

void FrameViewer::SetWorstBy(const std::string& score)
{
    worstBy_ = score;
    const QString metric = score.empty() ? QStringLiteral("PSNR") : MetricTitle(score.substr(0, score.size() - 2));
    worst_->setToolTip(U8("跳到亮度 %1 最低的帧").arg(metric));
}

void FrameViewer::UpdateTitle()
{
    const FrameResult& result = sequence_->record.frames[std::size_t(frame_)];
    QString title = U8("帧 %1 - Y %2 dB，U %3 dB，V %4 dB")
                        .arg(result.frame)
                        .arg(QString::fromStdString(FormatValue(result.psnr[0])),
                             QString::fromStdString(FormatValue(result.psnr[1])),
                             QString::fromStdString(FormatValue(result.psnr[2])));
    const std::vector<std::string>& scores = sequence_->record.outcome.description.scores;
    const auto ssim = std::find(scores.begin(), scores.end(), "ssim");
    if (ssim != scores.end() && std::size_t(ssim - scores.begin()) < result.scores.size())
        title += U8("，SSIM %1").arg(QString::fromStdString(FormatValue(result.scores[std::size_t(ssim - scores.begin())])));
    setWindowTitle(title);
}

void FrameViewer::OnLoaded()
{
    if (pictures_.frame < 0)
        return;
    const int plane = Plane();
    const int count = pictures_.ssimShown ? 4 : 3;
    if (!pictures_.error.isEmpty()) {
        status_->setText(pictures_.error);
        const QImage* none[Panes::kMost] = {};
        Panes::Legend legends[Panes::kMost];
        panes_->SetImages(none, legends, count);
        return;
    }
    const QImage* images[Panes::kMost] = {&pictures_.reference[plane], &pictures_.processed[plane],
                                          &pictures_.errors[plane].image, &pictures_.ssim[plane].image};
    const bool exists = !pictures_.reference[plane].isNull();
    const SsimMap& ssim = pictures_.ssim[plane];
    // The error map's legend is in the file's sample values; the SSIM map's
    // runs from 1 down to the lowest window.
    Panes::Legend legends[Panes::kMost];
    if (exists)
        legends[2] = {QStringLiteral("0"), QString::number(pictures_.errors[plane].maxError)};
    if (!ssim.image.isNull())
        legends[3] = {QStringLiteral("1"), SsimText(ssim.lowest)};
    panes_->SetImages(images, legends, count);
    QString status = !exists ? U8("该格式没有这个平面")
                             : U8("%1×%2，%3位，误差 0 – %4")
                                   .arg(pictures_.reference[plane].width())
                                   .arg(pictures_.reference[plane].height())
                                   .arg(pictures_.bits)
                                   .arg(pictures_.errors[plane].maxError);
    if (exists && pictures_.ssimShown)
        status += ssim.image.isNull() ? U8("，平面小于 8×8，没有 SSIM 窗口")
                                      : U8("，SSIM 窗口 %1 – 1").arg(SsimText(ssim.lowest));
    status_->setText(status);
}

bool FrameViewer::SavePictures(const QString& path)
{
    const int plane = Plane();
    const QFileInfo info(path);
    const QString stem = info.dir().filePath(info.completeBaseName());
    const QImage* images[4] = {&pictures_.reference[plane], &pictures_.processed[plane], &pictures_.errors[plane].image,
                               &pictures_.ssim[plane].image};
    const char* const names[4] = {"reference", "processed", "error", "ssim"};
    for (int i = 0; i < (pictures_.ssimShown && !images[3]->isNull() ? 4 : 3); ++i) {
        const QString file = QStringLiteral("%1-%2.png").arg(stem, names[i]);
        if (!images[i]->save(file, "PNG")) {
            prompts_.showMessage(this, U8("不能写入 %1！\n请确认路径是否正确。").arg(file), U8("Lorvane"),
                                 QMessageBox::Warning);
            return false;
        }
    }
    return true;
}

}  // namespace lorvane
