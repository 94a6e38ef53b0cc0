// How the configuration table's cells are shown: the passwords as dots
// unless the technician asks to see them, and each row's diagnosis whole in
// a tooltip, since a 20-pixel row cuts it off.
#ifndef CONFIG_CONFIG_CELL_DELEGATE_H
#define CONFIG_CONFIG_CELL_DELEGATE_H

#include <QString>
#include <QStyledItemDelegate>

class ConfigCellDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    // `keysHint` follows the diagnosis in every cell's tooltip: what the
    // keyboard does in the table.
    ConfigCellDelegate(const QString &keysHint, QObject *parent);

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
    QString keysHint_;
    bool masked_ = true;
};

#endif // CONFIG_CONFIG_CELL_DELEGATE_H
