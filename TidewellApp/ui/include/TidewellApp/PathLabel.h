#pragma once
// A file-system path in at most two lines. A path too long for them keeps its start and its
// end, the file's name, with "…" where the middle was left out; copying it, from the keyboard
// or the context menu, copies the whole path.

#include <QLabel>

namespace tidewell {

class PathLabel : public QLabel {
    Q_OBJECT
public:
    explicit PathLabel(QWidget* parent = nullptr);

    void setPath(const QString& path);
    QString path() const { return path_; }
    // The lines drawn at the current width: the path broken wherever it must, or its start
    // and "…" followed by its end.
    QString displayedText() const { return text(); }
    bool isShortened() const { return shortened_; }

    // The two lines for `width` pixels in `metrics`, and whether the middle had to go.
    static QString layOut(const QString& path, const QFontMetrics& metrics, int width, bool* shortened = nullptr);

    bool hasHeightForWidth() const override;
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void relayOut();
    void copyWhole();

    QString path_;
    bool shortened_ = false;
};

}  // namespace tidewell
