#include "localization.h"

#include "launcherpaths.h"
#include "regularfile.h"

#include <QFile>
#include <QJSEngine>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QQmlEngine>

namespace {
const QString kCatalogPath = QStringLiteral(":/qt/qml/Hollowmere/i18n/translations.json");
const QString kSystem = QStringLiteral("system");

// Places one value at the path of a key's segments, creating the maps on the way.
void insertPath(QVariantMap& map, const QStringList& segments, int index, const QVariant& value)
{
    const QString& segment = segments.at(index);
    if (index == segments.size() - 1) {
        map.insert(segment, value);
        return;
    }
    QVariantMap child = map.value(segment).toMap();
    insertPath(child, segments, index + 1, value);
    map.insert(segment, child);
}

QString keyString(const char* key)
{
    return key ? QString::fromLatin1(key) : QString();
}
} // namespace

Localization::Localization(QObject* parent) : QObject(parent), m_language(kSystem) {}

Localization* Localization::instance()
{
    static Localization object;
    return &object;
}

Localization* Localization::create(QQmlEngine*, QJSEngine* jsEngine)
{
    Localization* object = instance();
    object->m_engine = jsEngine;
    object->rebuildTree();
    QJSEngine::setObjectOwnership(object, QJSEngine::CppOwnership);
    return object;
}

bool Localization::load()
{
    return load(kCatalogPath);
}

bool Localization::load(const QString& catalogPath)
{
    QFile file(catalogPath);
    if (!file.open(QIODevice::ReadOnly)) {
        qCritical("Каталог переводов не найден: %s", qPrintable(catalogPath));
        return false;
    }
    if (!parseCatalog(file.readAll()))
        return false;
    readSavedLanguage();
    updateLanguageIndex();
    return true;
}

bool Localization::parseCatalog(const QByteArray& data)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(data, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        qCritical("Каталог переводов испорчен: %s (смещение %d)",
                  qPrintable(parseError.errorString()), parseError.offset);
        return false;
    }
    if (!document.isObject()) {
        qCritical("Каталог переводов должен быть объектом JSON");
        return false;
    }
    const QJsonObject root = document.object();
    const QJsonObject meta = root.value(QStringLiteral("_meta")).toObject();

    m_languages.clear();
    for (const QJsonValue& code : meta.value(QStringLiteral("languages")).toArray())
        m_languages.append(code.toString());
    if (m_languages.isEmpty()) {
        qCritical("В каталоге переводов не перечислен ни один язык (_meta.languages)");
        return false;
    }

    m_displayNames.clear();
    const QJsonObject names = meta.value(QStringLiteral("displayNames")).toObject();
    for (auto it = names.begin(); it != names.end(); ++it)
        m_displayNames.insert(it.key(), it.value().toString());

    const QJsonObject strings = root.value(QStringLiteral("strings")).toObject();
    if (strings.isEmpty()) {
        qCritical("В каталоге переводов нет ни одной строки (strings)");
        return false;
    }

    m_texts.clear();
    m_lists.clear();
    const QString& firstLanguage = m_languages.first();
    for (auto it = strings.begin(); it != strings.end(); ++it) {
        const QJsonObject entry = it.value().toObject();
        if (entry.value(firstLanguage).isArray()) {
            QList<QStringList> perLanguage;
            for (const QString& code : std::as_const(m_languages)) {
                QStringList items;
                for (const QJsonValue& item : entry.value(code).toArray())
                    items.append(item.toString());
                perLanguage.append(items);
            }
            m_lists.insert(it.key(), perLanguage);
        } else {
            QStringList perLanguage;
            for (const QString& code : std::as_const(m_languages))
                perLanguage.append(entry.value(code).toString());
            m_texts.insert(it.key(), perLanguage);
        }
    }
    return true;
}

void Localization::readSavedLanguage()
{
    m_language = kSystem;
    const QJsonValue saved =
        RegularFile::readObject(LauncherPaths::settingsFile()).value(QStringLiteral("language"));
    if (saved.isString())
        m_language = saved.toString();
    if (m_language != kSystem && !m_languages.contains(m_language)) {
        qWarning("Неизвестный язык в настройках: %s — берём системный", qPrintable(m_language));
        m_language = kSystem;
    }
}

void Localization::updateLanguageIndex()
{
    m_languageIndex.store(int(m_languages.indexOf(resolvedLanguage())), std::memory_order_release);
}

QString Localization::textFor(const char* key) const
{
    const auto it = m_texts.constFind(keyString(key));
    if (it == m_texts.cend())
        return keyString(key);
    const qsizetype index = m_languageIndex.load(std::memory_order_acquire);
    return size_t(index) < size_t(it->size()) ? it->at(index) : QString();
}

QStringList Localization::listFor(const char* key) const
{
    const auto it = m_lists.constFind(keyString(key));
    if (it == m_lists.cend())
        return {keyString(key)};
    const qsizetype index = m_languageIndex.load(std::memory_order_acquire);
    return size_t(index) < size_t(it->size()) ? it->at(index) : QStringList();
}

QString Localization::resolvedLanguage() const
{
    if (m_language != kSystem)
        return m_language;
    return QLocale::system().language() == QLocale::Russian ? QStringLiteral("ru")
                                                            : QStringLiteral("en");
}

void Localization::setLanguage(const QString& code)
{
    QString next = code;
    if (next != kSystem && !m_languages.contains(next)) {
        qWarning("Неизвестный язык: %s — берём системный", qPrintable(next));
        next = kSystem;
    }
    if (next == m_language)
        return;
    m_language = next;
    updateLanguageIndex();
    rebuildTree();
    emit languageChanged();
}

void Localization::rebuildTree()
{
    if (!m_engine)
        return;
    const qsizetype index = m_languageIndex.load(std::memory_order_relaxed);
    QVariantMap root;
    for (auto it = m_texts.cbegin(); it != m_texts.cend(); ++it) {
        const QString value = size_t(index) < size_t(it->size()) ? it->at(index) : QString();
        insertPath(root, it.key().split(QLatin1Char('.')), 0, value);
    }
    for (auto it = m_lists.cbegin(); it != m_lists.cend(); ++it) {
        const QStringList value =
            size_t(index) < size_t(it->size()) ? it->at(index) : QStringList();
        // As a variant list the script side gets a plain array; a string list
        // would arrive as a sequence wrapper that Array.isArray rejects.
        insertPath(root, it.key().split(QLatin1Char('.')), 0, QVariant(value).toList());
    }
    m_tree = m_engine->toScriptValue(root);
}

QVariantList Localization::availableLanguages() const
{
    QVariantList rows;
    rows.append(QVariantMap{{QStringLiteral("code"), kSystem},
                            {QStringLiteral("name"), textFor("settings.language.system")}});
    for (const QString& code : m_languages)
        rows.append(QVariantMap{{QStringLiteral("code"), code},
                                {QStringLiteral("name"), m_displayNames.value(code, code)}});
    return rows;
}

namespace Loc {
QString text(const char* key)
{
    return Localization::instance()->textFor(key);
}
QStringList list(const char* key)
{
    return Localization::instance()->listFor(key);
}
} // namespace Loc
