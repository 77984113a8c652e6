#pragma once

#include <QStyledItemDelegate>

namespace quillet {

// A sidebar row: the running dot, the name, and below it the directory in a smaller grey font,
// elided in the middle so both ends of a long path stay readable.
class ProjectRowDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    static constexpr int idRole = Qt::UserRole;
    static constexpr int directoryRole = Qt::UserRole + 1;

    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

private:
    static QFont smallFont(const QFont &base);
};

} // namespace quillet
