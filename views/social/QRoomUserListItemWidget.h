#pragma once

#include <QString>
#include <QTreeWidgetItem>

#include <string>

// A user's row in a room page's user list: flag, name, note icon, shared files and speed. Made
// outside the list and filled whole before the page puts it in its place, so that a join never
// sorts the list. Every column orders by a key of its own (numbers as numbers), then by name.
class QRoomUserListItemWidget : public QTreeWidgetItem
{
public:
    enum Column
    {
        NoneColumn = 0,
        FlagColumn = 1,
        NameColumn = 2,
        NoteColumn = 3,
        FilesColumn = 4,
        SpeedColumn = 5,
        ColumnCount = 6
    };

    // The name shows as every view shows it, and its bytes come back unchanged through Name().
    QRoomUserListItemWidget(const std::string& i_name, const std::string& i_countryCode,
                            qint64 i_sharedFiles, qint64 i_bytesPerSecond, bool i_hasNote);
    ~QRoomUserListItemWidget() override;

    const std::string& Name() const { return m_name; }
    bool HasNote() const { return m_hasNote; }
    void SetNote(bool i_hasNote);

    // Ascending order under the list's sort column; a strict weak order for every column.
    bool operator<(const QTreeWidgetItem& i_other) const override;
    // The same order with the column given: while the list sorts, and where the page places a row.
    bool LessThan(const QRoomUserListItemWidget& i_other, int i_column) const;

    // The flag of a two-letter country code (either case), empty for anything else and for a
    // code without a flag.
    static QIcon Flag(const std::string& i_countryCode);
    static QString SpeedText(qint64 i_bytesPerSecond);

private:
    std::string m_name;
    QString m_foldedName;
    QString m_country;
    qint64 m_sharedFiles;
    qint64 m_bytesPerSecond;
    bool m_hasNote = false;
};
