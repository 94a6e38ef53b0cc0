// How the configuration table's cells are shown: the passwords as dots
// unless the technician asks to see them, each row's diagnosis whole in a
// tooltip, since a 20-pixel row cuts it off, and a value not yet sent to the
// device in italics.
#ifndef CONFIG_CONFIG_CELL_DELEGATE_H
#define CONFIG_CONFIG_CELL_DELEGATE_H

#include <QString>
#include <QStringList>
#include <QStyledItemDelegate>

// Item data of a Value cell: true while its value has not been sent to the device.
constexpr int kUnsentRole = Qt::UserRole;

class ConfigCellDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    // `keyLines` follow the diagnosis in every cell's tooltip: what the
    // keyboard does in the table. An unsent value's cell has `unsentLine`
    // after the first of them.
    ConfigCellDelegate(const QStringList &keyLines, const QString &unsentLine, QObject *parent);

    // Whether the password cells show dots. Only the painting changes: the
    // item's text, and so the record, profiles and the log, stay as they are,
    // and the editor shows the text being edited.
    void setMasked(bool masked) { masked_ = masked; }
    bool isMasked() const { return masked_; }

    // The text the cell at `index` shows.
    QString shownText(const QModelIndex &index) const;
    // The cell's tooltip: its row's diagnosis, if any, then the keys.
    QString toolTip(const QModelIndex &index) const;

    bool helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                   const QModelIndex &index) override;

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override;

private:
    QStringList keyLines_;
    QString unsentLine_;
    bool masked_ = true;
};

#endif // CONFIG_CONFIG_CELL_DELEGATE_H
