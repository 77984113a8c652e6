#include "ui/ProjectRowDelegate.h"

#include <QApplication>
#include <QIcon>
#include <QPainter>

namespace quillet {

namespace {
constexpr int margin = 6;
constexpr int dotSize = 10;
} // namespace

QFont ProjectRowDelegate::smallFont(const QFont &base) {
    QFont font = base;
    font.setPointSizeF(base.pointSizeF() * 0.85);
    return font;
}

void ProjectRowDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                               const QModelIndex &index) const {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    // The background and selection as the style draws them; the content is ours.
    opt.text.clear();
    opt.icon = QIcon();
    const QWidget *widget = option.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

    const QRect rect = option.rect.adjusted(margin, margin / 2, -margin, -margin / 2);
    const QFontMetrics nameMetrics(option.font);
    const QFont small = smallFont(option.font);
    const QFontMetrics smallMetrics(small);
    const int top = rect.top() + (rect.height() - nameMetrics.height() - smallMetrics.height()) / 2;

    const QIcon dot = qvariant_cast<QIcon>(index.data(Qt::DecorationRole));
    dot.paint(painter,
              QRect(rect.left(), top + (nameMetrics.height() - dotSize) / 2, dotSize, dotSize));

    const int textLeft = rect.left() + dotSize + margin;
    const int textWidth = rect.right() - textLeft;
    const bool selected = option.state & QStyle::State_Selected;
    painter->save();
    painter->setPen(option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
    painter->setFont(option.font);
    painter->drawText(
        QRect(textLeft, top, textWidth, nameMetrics.height()), Qt::AlignLeft | Qt::AlignVCenter,
        nameMetrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight, textWidth));
    QColor secondary = option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
    secondary.setAlphaF(0.6);
    painter->setPen(secondary);
    painter->setFont(small);
    painter->drawText(
        QRect(textLeft, top + nameMetrics.height(), textWidth, smallMetrics.height()),
        Qt::AlignLeft | Qt::AlignVCenter,
        smallMetrics.elidedText(index.data(directoryRole).toString(), Qt::ElideMiddle, textWidth));
    painter->restore();
}

QSize ProjectRowDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const {
    const int height =
        QFontMetrics(option.font).height() + QFontMetrics(smallFont(option.font)).height();
    return QSize(160, height + margin * 2);
}

} // namespace quillet
