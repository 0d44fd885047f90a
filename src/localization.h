#pragma once

#include <QHash>
#include <QJSValue>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QVariantList>
#include <QtQml/qqml.h>

#include <atomic>

class QJSEngine;
class QQmlEngine;

// The translation catalog: loaded once at start-up from the embedded resources,
// answering lookups from native code (Loc::text, Loc::list) and serving the
// interface as the singleton Loc with a tree of texts and a live language switch.
class Localization : public QObject {
    Q_OBJECT
    Q_PROPERTY(QJSValue t READ t NOTIFY languageChanged)
    Q_PROPERTY(QString language READ language NOTIFY languageChanged)
    Q_PROPERTY(QString resolvedLanguage READ resolvedLanguage NOTIFY languageChanged)

public:
    explicit Localization(QObject* parent = nullptr);

    static Localization* instance();
    static Localization* create(QQmlEngine* qmlEngine, QJSEngine* jsEngine);

    bool load();
    // Loads a catalog from any path; the program loads the embedded one.
    bool load(const QString& catalogPath);

    QString textFor(const char* key) const;
    QStringList listFor(const char* key) const;

    QJSValue t() const { return m_tree; }
    QString language() const { return m_language; }
    QString resolvedLanguage() const;

    void setLanguage(const QString& code);
    void rebuildTree();
    Q_INVOKABLE QVariantList availableLanguages() const;

signals:
    void languageChanged();

private:
    bool parseCatalog(const QByteArray& data);
    void readSavedLanguage();
    void updateLanguageIndex();

    QHash<QString, QStringList> m_texts;
    QHash<QString, QList<QStringList>> m_lists;
    QStringList m_languages;
    QHash<QString, QString> m_displayNames;
    // Read without a lock by the build-archive worker thread.
    std::atomic<int> m_languageIndex{0};
    QString m_language;
    // Not owned; cleared when the engine goes away, since the catalog outlives it.
    QPointer<QJSEngine> m_engine;
    QJSValue m_tree;
};

// Registers the process-wide catalog as the interface's singleton Loc. The engine
// would construct a catalog of its own for a default-constructible class; this
// registration hands it the loaded one through the factory instead.
struct LocalizationRegistration {
    Q_GADGET
    QML_FOREIGN(Localization)
    QML_NAMED_ELEMENT(Loc)
    QML_SINGLETON

public:
    static Localization* create(QQmlEngine* qmlEngine, QJSEngine* jsEngine)
    {
        return Localization::create(qmlEngine, jsEngine);
    }
};

namespace Loc {
QString text(const char* key);
QStringList list(const char* key);
} // namespace Loc
