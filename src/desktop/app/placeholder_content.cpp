#include "desktop/app/placeholder_content.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "desktop/models/app_model.h"

namespace trayline {

PlaceholderContent::PlaceholderContent(AppModel& model, QWidget* parent)
    : QWidget(parent), model_(model), summary_(new QLabel(this)), signIn_(new QPushButton(this)) {
    auto* layout = new QVBoxLayout(this);
    summary_->setWordWrap(true);
    layout->addWidget(summary_);
    signIn_->setText(QStringLiteral("Sign In"));
    connect(signIn_, &QPushButton::clicked, this, [this] { model_.auth()->signIn(); });
    layout->addWidget(signIn_, 0, Qt::AlignLeft);
    layout->addStretch();
    auto* quit = new QPushButton(QStringLiteral("Quit"), this);
    connect(quit, &QPushButton::clicked, qApp, &QCoreApplication::quit);
    layout->addWidget(quit, 0, Qt::AlignRight);
    for (auto signal : {&AppModel::myTasksChanged, &AppModel::groupTasksChanged, &AppModel::errorMessageChanged})
        connect(&model_, signal, this, &PlaceholderContent::refresh);
    connect(model_.auth(), &AuthManager::isSignedInChanged, this, &PlaceholderContent::refresh);
    connect(model_.auth(), &AuthManager::signInFailed, summary_, &QLabel::setText);
    refresh();
}

void PlaceholderContent::refresh() {
    QString text = model_.auth()->isSignedIn()
                       ? QStringLiteral("My tasks: %1\nUnassigned in the group: %2")
                             .arg(model_.myTasks().size())
                             .arg(model_.unassignedCount())
                       : QStringLiteral("Not signed in");
    if (!model_.errorMessage().isEmpty())
        text += QLatin1Char('\n') + model_.errorMessage();
    signIn_->setVisible(!model_.auth()->isSignedIn());
    summary_->setText(text);
    summary_->setAccessibleName(text);
}

}  // namespace trayline
