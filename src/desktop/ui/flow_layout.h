#pragma once

// Lays children out left to right in rows that wrap at the available width. Every child keeps its
// size hint (it is never squeezed); a child wider than the width gets a row of its own.

#include <limits>
#include <vector>

#include <QLayout>
#include <QList>

namespace trayline::ui {

class FlowLayout : public QLayout {
    Q_OBJECT

public:
    static constexpr int kDefaultSpacing = 6;

    explicit FlowLayout(QWidget* parent = nullptr, int spacing = kDefaultSpacing);
    ~FlowLayout() override;

    // The gap between neighbours in a row and between rows.
    void setSpacing(int spacing) override;
    int spacing() const override { return spacing_; }

    // Row breaking shared by measuring and placing: indexes into `widths`, row by row. There is
    // always at least one row; with no widths it is empty.
    static constexpr double kUnbounded = std::numeric_limits<double>::infinity();
    static std::vector<std::vector<int>> rows(double maxWidth, const std::vector<int>& widths,
                                              int spacing);
    // The size needed for children of these sizes; width unbounded: everything in one row and the
    // widest row's width, else the given width.
    static QSize measure(double maxWidth, const std::vector<QSize>& sizes, int spacing);

    void addItem(QLayoutItem* item) override;
    int count() const override { return static_cast<int>(items_.size()); }
    QLayoutItem* itemAt(int index) const override;
    QLayoutItem* takeAt(int index) override;
    Qt::Orientations expandingDirections() const override { return {}; }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSize() const override;
    void setGeometry(const QRect& rect) override;

private:
    // The visible children and their ideal sizes; hidden widgets take no place.
    std::vector<QLayoutItem*> placedItems() const;
    static std::vector<QSize> idealSizes(const std::vector<QLayoutItem*>& items);
    QSize withMargins(QSize content) const;

    QList<QLayoutItem*> items_;
    int spacing_;
};

}  // namespace trayline::ui
