#include "TypeNavigatorDialog.h"

#include "Data.h"
#include "GeneralFunctions.h"
#include "ui_TypeNavigatorDialog.h"

#include <QTextCursor>

#include <deque>
#include <unordered_map>

namespace
{
// Relation walks of a schema with many relations per type explore a great many chains that lead
// nowhere: the search gives up after this many steps.
constexpr long maxWalkSteps = 2000000;

std::vector<Type*> RelatedTypes(const Type* ip_type)
{
    Type::RelationMap l_relations;
    ip_type->GetRelatedTypes(l_relations);
    std::vector<Type*> l_result;
    l_result.reserve(l_relations.size());
    for (const auto& l_relation : l_relations)
        l_result.push_back(l_relation.first);
    return l_result;
}

std::string NameOf(const QString& i_text)
{
    return i_text.toUtf8().toStdString();
}

QString TextOf(const std::string& i_name)
{
    return QString::fromUtf8(i_name);
}

// The related types of every type reached, read once per walk.
class Relations
{
public:
    const std::vector<Type*>& Of(Type* ip_type)
    {
        auto l_found = m_related.find(ip_type);
        if (l_found == m_related.end())
            l_found = m_related.emplace(ip_type, RelatedTypes(ip_type)).first;
        return l_found->second;
    }

    // Every type within i_steps relations of the start, with its distance; the start at 0.
    std::unordered_map<Type*, int> Distances(Type* ip_start, int i_steps)
    {
        std::unordered_map<Type*, int> l_distance{{ip_start, 0}};
        std::deque<Type*> l_pending{ip_start};
        while (!l_pending.empty())
        {
            Type* lp_type = l_pending.front();
            l_pending.pop_front();
            const int l_next = l_distance[lp_type] + 1;
            if (l_next > i_steps)
                continue;
            for (Type* lp_related : Of(lp_type))
                if (l_distance.emplace(lp_related, l_next).second)
                    l_pending.push_back(lp_related);
        }
        return l_distance;
    }

private:
    std::unordered_map<Type*, std::vector<Type*>> m_related;
};

// One depth-limited walk for the paths of one length, pruned by the distance to the target.
struct PathWalk
{
    Relations& m_relations;
    const std::unordered_map<Type*, int>& m_distanceToTarget;
    Type* mp_target;
    std::size_t m_length;
    std::vector<Type*> m_path;
    std::list<TypeNavigatorDialog::Path>& m_found;
    long m_steps = 0;

    bool Done() const
    {
        return m_found.size() >= std::size_t(TypeNavigatorDialog::maxPaths) ||
               m_steps >= maxWalkSteps;
    }

    void Walk()
    {
        ++m_steps;
        Type* lp_last = m_path.back();
        if (lp_last == mp_target)
        {
            if (m_path.size() == m_length)
            {
                TypeNavigatorDialog::Path l_names;
                for (Type* lp_type : m_path)
                    l_names.push_back(lp_type->Name());
                m_found.push_back(std::move(l_names));
            }
            return;
        }
        if (m_path.size() >= m_length)
            return;
        const int l_left = int(m_length - m_path.size()) - 1;
        for (Type* lp_related : m_relations.Of(lp_last))
        {
            if (Done())
                return;
            auto l_distance = m_distanceToTarget.find(lp_related);
            if (l_distance == m_distanceToTarget.end() || l_distance->second > l_left)
                continue;
            if (std::find(m_path.begin(), m_path.end(), lp_related) != m_path.end())
                continue;
            m_path.push_back(lp_related);
            Walk();
            m_path.pop_back();
        }
    }
};
} // namespace

TypeNavigatorDialog::TypeNavigatorDialog(QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(std::make_unique<Ui_TypeNavigatorDialog>())
{
    mp_ui->setupUi(this);
    mp_ui->chartEdit->setOpenExternalLinks(false);
    connect(mp_ui->fromTypeBox, &QComboBox::currentIndexChanged, this,
            [this](int i_index)
            { onFromTypeSelectionChanged(mp_ui->fromTypeBox->itemText(i_index)); });
    connect(mp_ui->toTypeBox, &QComboBox::currentIndexChanged, this,
            [this](int i_index) { onToTypeSelectionChanged(mp_ui->toTypeBox->itemText(i_index)); });
}

TypeNavigatorDialog::~TypeNavigatorDialog() = default;

void TypeNavigatorDialog::Init()
{
    Data::TypeTable l_types;
    d.GetTypes(l_types);
    std::set<std::string> l_names;
    for (const auto& l_type : l_types)
        l_names.insert(l_type.first);
    QStringList l_texts;
    for (const std::string& l_name : l_names)
        l_texts.append(TextOf(l_name));
    mp_ui->fromTypeBox->addItems(l_texts);
}

void TypeNavigatorDialog::GetRelatedTypes(const std::string& i_name,
                                          std::set<std::string>& i_result, int i_depth)
{
    const int l_steps = maxSteps + 1 - i_depth;
    if (l_steps < 1)
        return;
    Relations l_relations;
    Type* lp_start = d.GetType(i_name);
    for (const auto& [lp_type, l_distance] : l_relations.Distances(lp_start, l_steps))
        if (l_distance > 0)
            i_result.insert(lp_type->Name());
    // A walk that goes out and comes back reaches the start too.
    if (l_steps >= 2 && !l_relations.Of(lp_start).empty())
        i_result.insert(i_name);
}

void TypeNavigatorDialog::onFromTypeSelectionChanged(const QString& i_name)
{
    mp_ui->toTypeBox->clear();
    if (i_name.isEmpty())
        return;
    const std::string l_from = NameOf(i_name);
    std::set<std::string> l_reached{l_from};
    GetRelatedTypes(l_from, l_reached, 1);
    l_reached.erase(l_from);
    QStringList l_texts;
    for (const std::string& l_name : l_reached)
        l_texts.append(TextOf(l_name));
    mp_ui->toTypeBox->addItems(l_texts);
}

void TypeNavigatorDialog::onToTypeSelectionChanged(const QString&)
{
    const std::string l_from = NameOf(mp_ui->fromTypeBox->currentText());
    const std::string l_to = NameOf(mp_ui->toTypeBox->currentText());
    m_paths.clear();
    mp_ui->chartEdit->clear();
    if (l_from.empty() || l_to.empty())
        return;
    FindPath(l_from, l_to);
    QTextCursor l_cursor(mp_ui->chartEdit->document());
    bool l_first = true;
    for (const Path& l_path : m_paths)
    {
        // Each line starts from plain text: no format of the line above carries over.
        if (!l_first)
            l_cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
        l_first = false;
        l_cursor.insertHtml(Line(l_path));
    }
}

void TypeNavigatorDialog::FindPath(const std::string& i_from, const std::string& i_to)
{
    m_paths.clear();
    Relations l_relations;
    Type* lp_from = d.GetType(i_from);
    Type* lp_to = d.GetType(i_to);
    const std::unordered_map<Type*, int> l_distance = l_relations.Distances(lp_to, maxSteps);
    if (!l_distance.contains(lp_from))
        return;
    // One walk per length, shortest first: the list is ordered by length as it is found.
    long l_steps = 0;
    for (std::size_t l_length = std::size_t(l_distance.at(lp_from)) + 1;
         l_length <= std::size_t(maxSteps) + 1; ++l_length)
    {
        PathWalk l_walk{l_relations, l_distance, lp_to, l_length, {lp_from}, m_paths, l_steps};
        l_walk.Walk();
        l_steps = l_walk.m_steps;
        if (l_walk.Done())
            return;
    }
}

QString TypeNavigatorDialog::Line(const Path& i_path) const
{
    QString l_line;
    bool l_single = true;
    Type* lp_previous = nullptr;
    for (const std::string& l_name : i_path)
    {
        Type* lp_type = d.GetType(l_name);
        if (lp_previous)
        {
            const bool l_many = lp_previous->GetRelation(lp_type).otherEnd == Many;
            l_single = l_single && !l_many;
            l_line += EscapeHTML(l_many ? QStringLiteral(" => ") : QStringLiteral(" -> "));
        }
        l_line += QStringLiteral("<b>") + EscapeHTML(TextOf(l_name)) + QStringLiteral("</b>");
        if (lp_type->IsNull())
            l_line += QStringLiteral(" [null]");
        lp_previous = lp_type;
    }
    const QString l_count = QString::number(i_path.size());
    if (l_single)
        return QStringLiteral("<font color=green><b>[") + l_count +
               QStringLiteral("]</b></font> ") + l_line;
    return QStringLiteral("[") + l_count + QStringLiteral("] ") + l_line;
}
