#include "gamedirfixture.h"

#include "buildswitcher.h"
#include "systempath.h"
#include "ziparchive.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTimer>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace GameDirFixture {

QByteArray noise(qint64 size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    const qint64 words = size / qint64(sizeof(quint32));
    generator.fillRange(reinterpret_cast<quint32*>(data.data()), words);
    for (qint64 i = words * qint64(sizeof(quint32)); i < size; ++i)
        data[i] = char(generator.generate());
    return data;
}

void writeBuildContent(const QString& gameDir, int seed, const QString& outsideDir)
{
    const QString tag = QString::number(seed);
    writeFile(gameDir + "/options.txt", "fov:70\nseed:" + tag.toUtf8() + "\n");
    writeFile(gameDir + "/.hidden-note", "hidden " + tag.toUtf8());
    writeFile(gameDir + "/.config/tool/.settings", "nested hidden " + tag.toUtf8());
    writeFile(gameDir + "/config/deep/er/still/mod.toml", "key = " + tag.toUtf8());
    writeFile(gameDir + "/mods/mod-" + tag + ".jar", noise(200 * 1024, quint32(seed)));
    writeFile(gameDir + "/saves/World " + tag + "/region/r.0.0.mca",
              noise(1536 * 1024, quint32(seed) + 7));
    writeFile(gameDir + "/saves/World " + tag + "/level.dat", QByteArray(4096, char('a' + seed)));
    writeFile(gameDir + "/screenshots/shot.png", noise(3000, quint32(seed) + 11));
    writeFile(gameDir + "/empty-file", QByteArray());
    writeFile(outsideDir + "/target-file.txt", "outside file must survive");
    QDir().mkpath(outsideDir + "/target-dir");
    writeFile(outsideDir + "/target-dir/inside.txt", "outside folder must survive");
    QFile::link(outsideDir + "/target-file.txt", gameDir + "/linked-file.txt");
    QFile::link(outsideDir + "/target-dir", gameDir + "/config/linked-dir");
}

void writeSharedEntries(const QString& gameDir)
{
    writeFile(gameDir + "/versions/1.20.1/1.20.1.json", "{\"id\":\"1.20.1\"}");
    writeFile(gameDir + "/libraries/org/lib/1.0/lib-1.0.jar", noise(1000, 3));
    writeFile(gameDir + "/assets/indexes/5.json", "{}");
    writeFile(gameDir + "/launcher_profiles.json", "{\"profiles\":{}}");
    writeFile(gameDir + "/runtime/marker", "runtime");
}

Fingerprint fingerprintTree(const QString& dir, const QStringList& excludeTop)
{
    namespace fs = std::filesystem;
    Fingerprint result;
    std::error_code code;
    const fs::path root = QFile::encodeName(dir).toStdString();
    for (auto it = fs::recursive_directory_iterator(root, code);
         !code && it != fs::recursive_directory_iterator(); it.increment(code)) {
        // Keyed by the names' own bytes, those that are not UTF-8 included.
        const QString relative =
            SystemPath::decode(QByteArray::fromStdString(it->path().lexically_relative(root)));
        const QString top = relative.section(QLatin1Char('/'), 0, 0);
        if (excludeTop.contains(top)) {
            if (it->is_directory(code) && !it->is_symlink(code))
                it.disable_recursion_pending();
            continue;
        }
        if (it->is_symlink(code) || !it->is_regular_file(code))
            continue;
        std::ifstream file(it->path(), std::ios::binary);
        const std::string content((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
        result.insert(relative, QCryptographicHash::hash(QByteArray::fromStdString(content),
                                                         QCryptographicHash::Sha1));
    }
    return result;
}

Fingerprint fingerprintArchive(const QString& zipPath)
{
    Fingerprint result;
    ZipArchive zip;
    if (!zip.open(zipPath))
        return result;
    for (const ZipEntryInfo& entry : zip.entries()) {
        if (entry.isDirectory || entry.isSymlink)
            continue;
        QByteArray data;
        QBuffer buffer(&data);
        buffer.open(QIODevice::WriteOnly);
        if (!zip.extractEntry(entry.index, &buffer))
            return {};
        result.insert(SystemPath::decode(entry.rawName),
                      QCryptographicHash::hash(data, QCryptographicHash::Sha1));
    }
    return result;
}

QStringList topLevelNames(const QString& dir)
{
    QStringList names =
        QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    names.sort();
    return names;
}

bool isSwitchChild(int argc, char** argv)
{
    return argc > 1 && qstrcmp(argv[1], kSwitchChildArgument) == 0;
}

int runSwitchChild(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 7)
        return 3;
    BuildSwitcher switcher;
    int lastStage = -1;
    QObject::connect(&switcher, &BuildSwitcher::progressChanged, [&] {
        if (switcher.stage() != lastStage) {
            lastStage = switcher.stage();
            std::printf("stage %d\n", lastStage);
            std::fflush(stdout);
        }
    });
    QObject::connect(&switcher, &BuildSwitcher::finished, [&](int) { app.exit(0); });
    QObject::connect(&switcher, &BuildSwitcher::failed, [&](int, const QString& message, bool) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
        app.exit(2);
    });
    QTimer::singleShot(0, &switcher, [&] {
        switcher.switchTo(QByteArray(argv[2]).toInt(), QString::fromUtf8(argv[3]),
                          QByteArray(argv[4]).toInt(), QString::fromUtf8(argv[5]),
                          QString::fromUtf8(argv[6]));
    });
    return app.exec();
}

} // namespace GameDirFixture
