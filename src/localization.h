#pragma once

#include <QHash>
#include <QJSValue>
#include <QObject>
#include <QStringList>
#include <QVariantList>
#include <QtQml/qqmlregistration.h>

#include <atomic>

class QJSEngine;
class QQmlEngine;

// The translation catalog: loaded once at start-up from the embedded resources,
// answering lookups from native code (Loc::text, Loc::list) and serving the
// interface as the singleton Loc with a tree of texts and a live language switch.
class Localization : public QObject {
    Q_OBJECT
    QML_NAMED_ELEMENT(Loc)
    QML_SINGLETON
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
    QJSEngine* m_engine = nullptr;
    QJSValue m_tree;
};

namespace Loc {
QString text(const char* key);
QStringList list(const char* key);
} // namespace Loc
