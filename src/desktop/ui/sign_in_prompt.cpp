#include "desktop/ui/sign_in_prompt.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "desktop/ui/sheet_parts.h"
#include "desktop/ui/style.h"

namespace trayline::ui {

SignInPrompt::SignInPrompt(QWidget* parent) : QWidget(parent) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(16, 16, 16, 16);
    column->setSpacing(12);
    column->addStretch();
    auto* key = new QLabel(this);
    key->setObjectName(QStringLiteral("signInIcon"));
    key->setPixmap(icon("person.badge.key", color(NamedColor::Secondary)).pixmap(QSize(kIconSize, kIconSize), devicePixelRatioF()));
    key->setAlignment(Qt::AlignCenter);
    column->addWidget(key);
    auto* text = new TintedLabel(NamedColor::Secondary, TextStyle::Callout, this);
    text->setText(QStringLiteral("Sign in via your browser (SSO).\nA browser tab will open; after login you'll be "
                                 "sent back here."));
    text->setAlignment(Qt::AlignCenter);
    column->addWidget(text);
    button_ = new QPushButton(this);
    column->addWidget(button_, 0, Qt::AlignHCenter);
    error_ = errorLabel(0, TextStyle::Caption, this);
    error_->setAlignment(Qt::AlignCenter);
    column->addWidget(error_);
    column->addStretch();
    connect(button_, &QPushButton::clicked, this, &SignInPrompt::signInRequested);
    setState(false, QString());
}

void SignInPrompt::setState(bool signingIn, const QString& error) {
    setLabel(button_, signingIn ? QStringLiteral("Waiting for browser\u2026") : QStringLiteral("Sign in"));
    button_->setEnabled(!signingIn);
    showText(error_, error);
}

}  // namespace trayline::ui
