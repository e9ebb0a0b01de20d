#pragma once

// Small pieces of the task row: the blue number chip that opens a link, and the state badge.

#include <functional>
#include <optional>

#include <QToolButton>
#include <QUrl>
#include <QWidget>

#include "desktop/ui/style.h"

namespace trayline::ui {

using UrlOpener = std::function<void(const QUrl&)>;

// A number in blue that opens its link (nothing when it has none); its context menu copies the
// number.
class NumberChip : public QToolButton {
    Q_OBJECT

public:
    explicit NumberChip(UrlOpener opener, QWidget* parent = nullptr);
    void set(const QString& label, std::optional<QUrl> url, const QString& toolTip);
    const std::optional<QUrl>& url() const { return url_; }

protected:
    void changeEvent(QEvent* event) override;

private:
    void applyColour();
    void showMenu(const QPoint& at);

    UrlOpener opener_;
    std::optional<QUrl> url_;
};

// The state's display text on a capsule tinted with the state's colour.
class StateBadge : public QWidget {
    Q_OBJECT

public:
    explicit StateBadge(QWidget* parent = nullptr);
    void set(const QString& text, NamedColor colour);
    const QString& text() const { return text_; }
    NamedColor colour() const { return colour_; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
    NamedColor colour_ = NamedColor::Gray;
};

}  // namespace trayline::ui
