#include "desktop/ui/flow_layout.h"

#include <algorithm>

#include <QWidget>

namespace trayline::ui {

namespace {

std::vector<int> widthsOf(const std::vector<QSize>& sizes) {
    std::vector<int> widths;
    widths.reserve(sizes.size());
    for (const QSize& s : sizes)
        widths.push_back(s.width());
    return widths;
}

}  // namespace

FlowLayout::FlowLayout(QWidget* parent, int spacing) : QLayout(parent), spacing_(spacing) {
    setContentsMargins(0, 0, 0, 0);
}

FlowLayout::~FlowLayout() {
    while (QLayoutItem* item = takeAt(0))
        delete item;
}

void FlowLayout::setSpacing(int spacing) {
    spacing_ = spacing;
    invalidate();
}

std::vector<std::vector<int>> FlowLayout::rows(double maxWidth, const std::vector<int>& widths,
                                               int spacing) {
    std::vector<std::vector<int>> result(1);
    double x = 0;
    for (int i = 0; i < static_cast<int>(widths.size()); ++i) {
        const double w = widths[static_cast<std::size_t>(i)];
        // x already holds one gap after every earlier child of the row.
        if (x + w <= maxWidth || result.back().empty()) {
            result.back().push_back(i);
            x += w + spacing;
        } else {
            result.push_back({i});
            x = w + spacing;
        }
    }
    return result;
}

QSize FlowLayout::measure(double maxWidth, const std::vector<QSize>& sizes, int spacing) {
    const auto broken = rows(maxWidth, widthsOf(sizes), spacing);
    int widest = 0;
    int height = 0;
    for (const auto& row : broken) {
        int rowWidth = 0;
        int rowHeight = 0;
        for (int i : row) {
            rowWidth += sizes[static_cast<std::size_t>(i)].width();
            rowHeight = std::max(rowHeight, sizes[static_cast<std::size_t>(i)].height());
        }
        rowWidth += spacing * std::max(0, static_cast<int>(row.size()) - 1);
        widest = std::max(widest, rowWidth);
        height += rowHeight;
    }
    height += spacing * (static_cast<int>(broken.size()) - 1);
    const int width = maxWidth == kUnbounded ? widest : static_cast<int>(maxWidth);
    return {width, height};
}

void FlowLayout::addItem(QLayoutItem* item) {
    items_.append(item);
    invalidate();
}

QLayoutItem* FlowLayout::itemAt(int index) const {
    return index >= 0 && index < items_.size() ? items_.at(index) : nullptr;
}

QLayoutItem* FlowLayout::takeAt(int index) {
    if (index < 0 || index >= items_.size())
        return nullptr;
    QLayoutItem* item = items_.takeAt(index);
    invalidate();
    return item;
}

std::vector<QLayoutItem*> FlowLayout::placedItems() const {
    std::vector<QLayoutItem*> result;
    for (QLayoutItem* item : items_)
        if (!item->isEmpty())
            result.push_back(item);
    return result;
}

std::vector<QSize> FlowLayout::idealSizes(const std::vector<QLayoutItem*>& items) {
    std::vector<QSize> sizes;
    sizes.reserve(items.size());
    for (QLayoutItem* item : items)
        sizes.push_back(item->sizeHint());
    return sizes;
}

QSize FlowLayout::withMargins(QSize content) const {
    const QMargins m = contentsMargins();
    return content.grownBy(m);
}

int FlowLayout::heightForWidth(int width) const {
    const QMargins m = contentsMargins();
    const int inner = std::max(0, width - m.left() - m.right());
    return measure(inner, idealSizes(placedItems()), spacing_).height() + m.top() + m.bottom();
}

QSize FlowLayout::sizeHint() const {
    return withMargins(measure(kUnbounded, idealSizes(placedItems()), spacing_));
}

QSize FlowLayout::minimumSize() const {
    // Narrow enough for one child per row, never narrower than the widest child.
    QSize least(0, 0);
    for (const QSize& s : idealSizes(placedItems()))
        least = least.expandedTo(s);
    return withMargins(least);
}

void FlowLayout::setGeometry(const QRect& rect) {
    QLayout::setGeometry(rect);
    const QRect area = rect.marginsRemoved(contentsMargins());
    const auto items = placedItems();
    const auto sizes = idealSizes(items);
    int y = area.top();
    for (const auto& row : rows(area.width(), widthsOf(sizes), spacing_)) {
        int x = area.left();
        int rowHeight = 0;
        for (int i : row) {
            const QSize size = sizes[static_cast<std::size_t>(i)];
            items[static_cast<std::size_t>(i)]->setGeometry(QRect(QPoint(x, y), size));
            x += size.width() + spacing_;
            rowHeight = std::max(rowHeight, size.height());
        }
        y += rowHeight + spacing_;
    }
}

}  // namespace trayline::ui
