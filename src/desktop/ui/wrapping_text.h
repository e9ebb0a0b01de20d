#pragma once

// Plain text that wraps at word boundaries and, for a word longer than the width, anywhere in
// it, so a long URL or token never widens the panel. Selectable with the mouse and copyable
// (Ctrl+C or its own context menu while something is selected); without a selection a right
// click goes to the parent's context menu.

#include <QString>
#include <QWidget>

class QTextLayout;

namespace trayline::ui {

class WrappingText : public QWidget {
    Q_OBJECT

public:
    explicit WrappingText(QWidget* parent = nullptr);
    explicit WrappingText(const QString& text, QWidget* parent = nullptr);

    const QString& text() const { return text_; }
    void setText(const QString& text);
    QString selectedText() const;
    void selectAll();

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    // The number of lines the text takes at a width.
    int lineCount(int width) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void changeEvent(QEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    // Lays the text out at `width` and returns its height.
    qreal layOut(QTextLayout& layout, int width) const;
    int cursorAt(const QPoint& point) const;
    void copySelection() const;

    QString text_;
    int anchor_ = 0;
    int cursor_ = 0;
};

}  // namespace trayline::ui
