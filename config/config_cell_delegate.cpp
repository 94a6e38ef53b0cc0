#include "config/config_cell_delegate.h"
#include "config/profile.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QHelpEvent>
#include <QStyle>
#include <QToolTip>

namespace {

constexpr int ValueColumn = 0;
constexpr int InfoColumn = 1;

bool isUnsentValue(const QModelIndex &index)
{
    return index.column() == ValueColumn && index.data(kUnsentRole).toBool();
}

} // namespace

ConfigCellDelegate::ConfigCellDelegate(const QStringList &keyLines, const QString &unsentLine,
                                       QObject *parent)
    : QStyledItemDelegate(parent), keyLines_(keyLines), unsentLine_(unsentLine)
{
}

QString ConfigCellDelegate::shownText(const QModelIndex &index) const
{
    const QString text = index.data(Qt::DisplayRole).toString();
    if (!masked_ || index.column() != ValueColumn || !isSecretRow(index.row()))
        return text;
    // The dot a password field shows in this style, one for each character.
    const QChar dot(QApplication::style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter));
    return QString(text.size(), dot);
}

QString ConfigCellDelegate::toolTip(const QModelIndex &index) const
{
    QStringList keys = keyLines_;
    if (isUnsentValue(index))
        keys.insert(qMin(1, keys.size()), unsentLine_);
    const QString keysHint = keys.join(QLatin1Char('\n'));
    const QString diagnosis = index.sibling(index.row(), InfoColumn).data().toString();
    return diagnosis.isEmpty() ? keysHint : diagnosis + QStringLiteral("\n\n") + keysHint;
}

bool ConfigCellDelegate::helpEvent(QHelpEvent *event, QAbstractItemView *view,
                                   const QStyleOptionViewItem &option, const QModelIndex &index)
{
    if (event->type() != QEvent::ToolTip || !index.isValid())
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    QToolTip::showText(event->globalPos(), toolTip(index), view->viewport(), option.rect);
    return true;
}

void ConfigCellDelegate::initStyleOption(QStyleOptionViewItem *option,
                                         const QModelIndex &index) const
{
    QStyledItemDelegate::initStyleOption(option, index);
    option->text = shownText(index);
    if (isUnsentValue(index)) {
        option->font.setItalic(true);
        option->fontMetrics = QFontMetrics(option->font);
    }
}
