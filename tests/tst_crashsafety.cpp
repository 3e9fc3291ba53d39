#include "Data.h"
#include "DataSaver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <vector>

// A program killed at any moment of a save leaves a data file that loads whole: the state
// before that save or after it. The test runs itself as the saving child.
namespace
{
int const g_folders = 100;
int const g_filesPerFolder = 500;
int const g_files = g_folders * g_filesPerFolder;
char const* const gp_childArgument = "--save-until-killed";

// Each save flips every file's size, so a file holding parts of two saves shows sizes that
// disagree with the generation it records.
constexpr auto SizeOf = [](int i_file, int i_generation) { return 2 * i_file + i_generation % 2; };

void DeclareIndex(DataSaver& i_saver)
{
    d.NewType("index_head", false, true, true);
    d.NewType("index_generation", false, false, true)->RelateToType("index_head", One, Many, false);
    d.NewType("index_folder", true, false, true);
    d.NewType("index_file", false, false, true)->RelateToType("index_folder", Many, One, false);
    d.NewType("index_size", false, false, true)->RelateToType("index_file", One, Many, false);
    i_saver.AddSavedType("index_head");
    i_saver.AddSavedByConnectionType("index_generation", "index_head");
    i_saver.AddSavedType("index_folder");
    i_saver.AddSavedByConnectionType("index_file", "index_folder");
    i_saver.AddSavedByConnectionType("index_size", "index_file");
}

void SetGeneration(int i_generation, std::vector<Item*> const& i_files)
{
    ItemPtr(d.GetType("index_generation")->GetItem(Value(i_generation))) +=
        d.GetType("index_head")->GetGlobalItem();
    for (int l_file = 0; l_file < g_files; ++l_file)
        ItemPtr(i_files[l_file]) +=
            d.GetType("index_size")->GetItem(Value(SizeOf(l_file, i_generation)));
}

// Checks the loaded index against its generation; the files in number order, or empty with a
// reason printed when the index is not whole.
std::vector<Item*> CheckedIndex(int i_generation)
{
    std::vector<Item*> l_files(g_files, nullptr);
    ItemSet l_loaded = d.GetType("index_file")->GetItems();
    if (l_loaded.size() != std::size_t(g_files))
    {
        std::printf("bad %zu files\n", l_loaded.size());
        return {};
    }
    for (Item* lp_file : l_loaded)
    {
        std::string const& l_name = lp_file->Value();
        int const l_number = std::atoi(l_name.c_str() + l_name.find("/n") + 2);
        ItemPtr l_size = ItemPtr(lp_file).GetItem("index_size");
        ItemPtr l_folder = ItemPtr(lp_file).GetItem("index_folder");
        if (l_number < 0 || l_number >= g_files || l_files[l_number] || l_size.IsNull() ||
            l_size.AsInt() != SizeOf(l_number, i_generation) || l_folder.IsNull() ||
            l_name.compare(0, l_folder->Value().size() + 1, l_folder->Value() + "/") != 0)
        {
            std::printf("bad file %s of generation %d\n", l_name.c_str(), i_generation);
            return {};
        }
        l_files[l_number] = lp_file;
    }
    return l_files;
}

// The child: loads the file (or makes generation 0), prints "ready G", then saves generation
// after generation, printing "saving G" before each and "saved G MS" after, until it is killed.
int SaveUntilKilled(QString const& i_path)
{
    // Each line goes out whole before a kill can land.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    DataSaver l_saver;
    DeclareIndex(l_saver);
    std::vector<Item*> l_files;
    int l_generation = 0;
    if (QFile::exists(i_path))
    {
        // A load that fails throws, and the child ends without its "ready" line.
        l_saver.Load(i_path);
        ItemPtr l_marker = d.GetType("index_head")->GetGlobalItem().GetItem("index_generation");
        l_generation = l_marker.IsNull() ? -1 : l_marker.AsInt();
        l_files = CheckedIndex(l_generation);
        if (l_files.empty())
            return 1;
    }
    else
    {
        for (int l_file = 0; l_file < g_files; ++l_file)
        {
            std::string const l_folder = "d" + std::to_string(l_file / g_filesPerFolder);
            l_files.push_back(
                d.GetType("index_file")->NewItem(Value(l_folder + "/n" + std::to_string(l_file))));
            ItemPtr(l_files.back()) += d.GetType("index_folder")->GetItem(Value(l_folder));
        }
        SetGeneration(0, l_files);
        l_saver.Save(i_path);
    }
    std::printf("ready %d\n", l_generation);
    for (QElapsedTimer l_timer;;)
    {
        SetGeneration(++l_generation, l_files);
        std::printf("saving %d\n", l_generation);
        l_timer.start();
        l_saver.Save(i_path);
        std::printf("saved %d %lld\n", l_generation, l_timer.elapsed());
    }
}

const auto Kill = [](QProcess& i_child) { return i_child.kill(), i_child.waitForFinished(60000); };
} // namespace

class TestCrashSafety : public QObject
{
    Q_OBJECT

    // Starts the saving child and returns the generation it loaded, once it is ready.
    int StartChild(QProcess& i_child, QStringList& i_lines, QString const& i_path,
                   QStringList const& i_more = {})
    {
        i_lines.clear();
        connect(&i_child, &QProcess::readyReadStandardOutput, &i_child,
                [&]
                {
                    while (i_child.canReadLine())
                        i_lines << QString::fromUtf8(i_child.readLine()).trimmed();
                });
        i_child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        i_child.start(QCoreApplication::applicationFilePath(),
                      QStringList{QString::fromLatin1(gp_childArgument), i_path} + i_more);
        [&]
        {
            QTRY_VERIFY_WITH_TIMEOUT(!i_lines.isEmpty() || i_child.state() == QProcess::NotRunning,
                                     60000);
            QVERIFY2(!i_lines.isEmpty() && i_lines.first().startsWith(QLatin1String("ready ")),
                     qPrintable(i_lines.join(QLatin1Char('|'))));
        }();
        return i_lines.isEmpty() ? -1 : i_lines.first().mid(6).toInt();
    }

private slots:
    // A save cut off within a write (the file-size limit's signal ends the child as a kill
    // would) leaves the data file as it was and no temporary file beside it.
    void saveCutOffWhileWritingLeavesNothingBeside()
    {
        QTemporaryDir l_folder;
        QString const l_path = l_folder.filePath(QStringLiteral("data"));
        QStringList l_lines;
        QProcess l_first, l_cutOff, l_again;
        StartChild(l_first, l_lines, l_path);
        QVERIFY(Kill(l_first));
        QVERIFY(QFileInfo(l_path).size() > 65536);
        int const l_generation = StartChild(l_cutOff, l_lines, l_path, {QStringLiteral("65536")});
        // It may already have ended while its "ready" line was read.
        QTRY_VERIFY_WITH_TIMEOUT(l_cutOff.state() == QProcess::NotRunning, 60000);
        QCOMPARE(l_cutOff.exitStatus(), QProcess::CrashExit);
        QCOMPARE(QDir(l_folder.path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("data")});
        QCOMPARE(StartChild(l_again, l_lines, l_path), l_generation);
        QVERIFY(Kill(l_again));
    }

    // CRASH_SAFETY_KILLS sets the number of kills: a full run uses 100; the default keeps the
    // sanitizer build within half a minute.
    void killedSavesLeaveTheStateBeforeOrAfter()
    {
        int const l_kills =
            qEnvironmentVariable("CRASH_SAFETY_KILLS", QStringLiteral("20")).toInt();
        QTemporaryDir l_folder;
        QString const l_path = l_folder.filePath(QStringLiteral("data"));
        quint32 const l_seed = QRandomGenerator::global()->generate();
        qInfo("seed %u", l_seed);
        QRandomGenerator l_random(l_seed);
        int l_lastSaved = 0;
        qint64 l_saveTime = -1;
        for (int l_kill = 0; l_kill <= l_kills; ++l_kill)
        {
            QProcess l_child;
            QStringList l_lines;
            int const l_loaded = StartChild(l_child, l_lines, l_path);
            QVERIFY2(
                !QTest::currentTestFailed() &&
                    (l_loaded == l_lastSaved || l_loaded == l_lastSaved + 1),
                qPrintable(QStringLiteral("loaded %1 after %2").arg(l_loaded).arg(l_lastSaved)));
            if (l_kill == l_kills)
            {
                QVERIFY(Kill(l_child));
                break;
            }
            // Only the line of its kind holds each of these words.
            const auto l_starting = [&](char const* ip_word)
            { return l_lines.filter(QLatin1String(ip_word)); };
            if (l_saveTime < 0)
            {
                QTRY_VERIFY_WITH_TIMEOUT(!l_starting("saved ").isEmpty(), 60000);
                l_saveTime =
                    qMax(1, l_starting("saved ").first().section(QLatin1Char(' '), 2).toInt());
            }
            // Into a save, one of the first few, at a random moment of it: where the kill lands
            // is the test, so this waits for a time, not for a condition.
            const qsizetype l_saves = 1 + l_random.bounded(3);
            QTRY_VERIFY_WITH_TIMEOUT(l_starting("saving ").size() >= l_saves, 60000);
            QTest::qWait(int(l_random.bounded(l_saveTime + 1)));
            QVERIFY(Kill(l_child));
            l_lines << QString::fromUtf8(l_child.readAllStandardOutput())
                           .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
            l_lastSaved = l_loaded;
            for (QString const& l_line : l_starting("saved "))
                l_lastSaved = l_line.section(QLatin1Char(' '), 1, 1).toInt();
            QVERIFY(QFile::exists(l_path));
        }
    }
};

int main(int argc, char** argv)
{
    if (argc >= 3 && qstrcmp(argv[1], gp_childArgument) == 0)
    {
        // A size limit on written files: the system's signal then ends the child within a write.
        if (argc == 4)
        {
            rlimit const l_noCore{0, 0},
                l_size{rlim_t(std::atoll(argv[3])), rlim_t(std::atoll(argv[3]))};
            ::setrlimit(RLIMIT_CORE, &l_noCore);
            ::setrlimit(RLIMIT_FSIZE, &l_size);
        }
        return SaveUntilKilled(QString::fromLocal8Bit(argv[2]));
    }
    QCoreApplication l_application(argc, argv);
    TestCrashSafety l_test;
    return QTest::qExec(&l_test, argc, argv);
}

#include "tst_crashsafety.moc"
