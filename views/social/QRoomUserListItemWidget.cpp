#include "QRoomUserListItemWidget.h"

#include "GeneralFunctions.h"

#include <QFile>
#include <QHash>
#include <QIcon>
#include <QTreeWidget>

#include <tuple>

namespace
{
bool IsAsciiLetter(char i_character)
{
    return (i_character >= 'a' && i_character <= 'z') || (i_character >= 'A' && i_character <= 'Z');
}
} // namespace

// The flags live in a static library: without this call the linker drops them. The macro must
// stand outside every namespace.
static void InitFlagResources()
{
    Q_INIT_RESOURCE(flags);
}

QRoomUserListItemWidget::QRoomUserListItemWidget(const std::string& i_name,
                                                 const std::string& i_countryCode,
                                                 qint64 i_sharedFiles, qint64 i_bytesPerSecond,
                                                 bool i_hasNote)
    : m_name(i_name), m_country(FromLatin1(i_countryCode)), m_sharedFiles(i_sharedFiles),
      m_bytesPerSecond(i_bytesPerSecond)
{
    const QString l_name = ShownName(i_name);
    m_foldedName = l_name.toCaseFolded();
    setText(NameColumn, l_name);
    if (!i_countryCode.empty())
        setIcon(FlagColumn, Flag(i_countryCode));
    setText(FilesColumn, CommafyNumber(i_sharedFiles));
    setText(SpeedColumn, SpeedText(i_bytesPerSecond));
    // Most users have no note: their rows keep no note cell at all.
    if (i_hasNote)
        SetNote(true);
}

QRoomUserListItemWidget::~QRoomUserListItemWidget() = default;

void QRoomUserListItemWidget::SetNote(bool i_hasNote)
{
    static const QIcon l_noteIcon(QStringLiteral(":/icons/note_icon"));
    m_hasNote = i_hasNote;
    setIcon(NoteColumn, i_hasNote ? l_noteIcon : QIcon());
}

bool QRoomUserListItemWidget::operator<(const QTreeWidgetItem& i_other) const
{
    const auto* lp_other = dynamic_cast<const QRoomUserListItemWidget*>(&i_other);
    if (!lp_other)
        return QTreeWidgetItem::operator<(i_other);
    const QTreeWidget* lp_list = treeWidget();
    return LessThan(*lp_other, lp_list ? lp_list->sortColumn() : int(NameColumn));
}

bool QRoomUserListItemWidget::LessThan(const QRoomUserListItemWidget& i_other, int i_column) const
{
    // Each column's key first, then the name without regard to case: a lexicographic order of
    // strict weak orders is one itself. The name column alone leaves equal names equal.
    switch (i_column)
    {
        case FlagColumn:
            return std::tie(m_country, m_foldedName) <
                   std::tie(i_other.m_country, i_other.m_foldedName);
        case NoteColumn:
            return std::tie(m_hasNote, m_foldedName) <
                   std::tie(i_other.m_hasNote, i_other.m_foldedName);
        case FilesColumn:
            return std::tie(m_sharedFiles, m_foldedName) <
                   std::tie(i_other.m_sharedFiles, i_other.m_foldedName);
        case SpeedColumn:
            return std::tie(m_bytesPerSecond, m_foldedName) <
                   std::tie(i_other.m_bytesPerSecond, i_other.m_foldedName);
        default:
            return m_foldedName < i_other.m_foldedName;
    }
}

QIcon QRoomUserListItemWidget::Flag(const std::string& i_countryCode)
{
    if (i_countryCode.size() != 2 || !IsAsciiLetter(i_countryCode[0]) ||
        !IsAsciiLetter(i_countryCode[1]))
        return QIcon();
    // One icon per code, the file looked for once: a room of thousands shares a few dozen.
    static QHash<QString, QIcon> l_flags;
    const QString l_code = QString::fromLatin1(i_countryCode.data(), 2).toLower();
    auto l_found = l_flags.constFind(l_code);
    if (l_found == l_flags.constEnd())
    {
        static const bool l_registered = (InitFlagResources(), true);
        Q_UNUSED(l_registered);
        const QString l_path =
            QStringLiteral(":/resources/flags/") + l_code + QStringLiteral(".png");
        l_found = l_flags.insert(l_code, QFile::exists(l_path) ? QIcon(l_path) : QIcon());
    }
    return *l_found;
}

QString QRoomUserListItemWidget::SpeedText(qint64 i_bytesPerSecond)
{
    if (i_bytesPerSecond == 0)
        return QString();
    return QStringLiteral("%1").arg(double(i_bytesPerSecond) / 1024.0, 0, 'f', 1);
}
