#pragma once

#include <QDialog>

#include <list>
#include <memory>
#include <set>
#include <string>
#include <vector>

class Ui_TypeNavigatorDialog;

// Shows how two types of the store's schema are linked: every chain of relations from the one
// to the other that passes no type twice and has at most maxSteps relations, shortest first,
// with one-or-many marks per step and null types marked. At most maxPaths chains are listed.
class TypeNavigatorDialog : public QDialog
{
    Q_OBJECT

public:
    using Path = std::vector<std::string>;

    static constexpr int maxSteps = 6;
    static constexpr int maxPaths = 500;

    explicit TypeNavigatorDialog(QWidget* ip_parent = nullptr);
    ~TypeNavigatorDialog() override;

    // Fills the from box with every type of the store, which fills the to box and the chart.
    void Init();

    // Adds to the set every type within (maxSteps + 1 - i_depth) relations of the named one.
    void GetRelatedTypes(const std::string& i_name, std::set<std::string>& i_result, int i_depth);
    // The found paths from one type to the other, shortest first, paths of one length in the
    // order of a depth-first walk over the relations in the store's order.
    void FindPath(const std::string& i_from, const std::string& i_to);
    const std::list<Path>& Paths() const { return m_paths; }

public slots:
    void onFromTypeSelectionChanged(const QString& i_name);
    void onToTypeSelectionChanged(const QString& i_name);

private:
    QString Line(const Path& i_path) const;

    std::unique_ptr<Ui_TypeNavigatorDialog> mp_ui;
    std::list<Path> m_paths;
};
