#pragma once

// Shown while nobody is signed in: what will happen, the button that starts the browser sign-in
// (the panel's default action), and the last failure's text.

#include <QWidget>

class QPushButton;

namespace trayline::ui {

class TintedLabel;

class SignInPrompt : public QWidget {
    Q_OBJECT

public:
    // The key icon's side in points (one point = one logical pixel, as for the panel's width).
    static constexpr int kIconSize = 36;

    explicit SignInPrompt(QWidget* parent = nullptr);
    void setState(bool signingIn, const QString& error);
    QPushButton* button() const { return button_; }

Q_SIGNALS:
    void signInRequested();

private:
    QPushButton* button_;
    TintedLabel* error_;
};

}  // namespace trayline::ui
