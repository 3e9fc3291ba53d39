#pragma once

#include "ItemPtr.h"

#include <QList>
#include <QObject>
#include <QString>

class QSplitter;
class QTreeWidget;
class ResizableWindow;

// Remembers window geometry, splitter pane sizes and list column widths in saved store records,
// one record per name. Registering a widget applies its name's record, or makes the widget's
// sizes the record; from then on every change is stored at once, and widgets of one name follow
// one another. One instance, the global sizeManager, set by the constructor.
class SizeManager : public QObject
{
    Q_OBJECT

public:
    // Needs the data saver; must run before the data file is loaded.
    explicit SizeManager(QObject* ip_parent = nullptr);
    ~SizeManager() override;

    void RegisterResizableWindow(QString i_name, ResizableWindow* ip_window);
    // Default sizes (may be empty: the splitter's own) are stored for a new name but take effect
    // only from the name's next registration.
    void RegisterSplitter(QString i_name, QSplitter* ip_splitter, QList<int> i_defaultSizes);
    void RegisterTreeWidget(QString i_name, QTreeWidget* ip_tree);

public slots:
    void OnWindowMoved(int i_x, int i_y);
    void OnWindowResized(int i_width, int i_height);
    void OnWindowDestroyed(QObject* ip_window);
    void OnSplitterMoved(int i_position, int i_index);
    void OnSplitterDestroyed(QObject* ip_splitter);
    void OnTreeColumnResizedMoved(int i_column, int i_oldSize, int i_newSize);
    void OnTreeDestroyed(QObject* ip_tree);

private:
    // Two values of the sending window's record, when it has one.
    void StoreSenderWindowValues(const char* ip_firstType, int i_first, const char* ip_secondType,
                                 int i_second);
    // The record's part (pane or column) of the given number, made when missing.
    static ItemPtr Part(ItemPtr i_record, const char* ip_partType, const char* ip_numberType,
                        int i_number);
    // Connects the item to the value item of the type and removes the value item it replaces
    // when nothing else uses it.
    static void ReplaceValue(ItemPtr i_item, const char* ip_type, int i_value);

    bool m_applying = false;
};

extern SizeManager* sizeManager;
