#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

namespace trayline {

class AppModel;

// The panel's content until the full panel is plugged in: who is signed in, the counts, the last
// error, and a way to quit.
class PlaceholderContent : public QWidget {
    Q_OBJECT
public:
    explicit PlaceholderContent(AppModel& model, QWidget* parent = nullptr);

private:
    void refresh();
    AppModel& model_;
    QLabel* summary_;
    QPushButton* signIn_;
};

}  // namespace trayline
