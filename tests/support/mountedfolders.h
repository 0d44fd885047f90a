#pragma once

#include <QFileDevice>
#include <QList>
#include <QPair>
#include <QString>

// Folders a test turns into file systems of their own where it may mount (tests run as
// root), with what it can do where it may not.

// A folder below which nothing can be written while this lives. Where the test may mount,
// the folder is bound over itself read-only: every write below it fails with EROFS,
// root's too. Where it may not, every folder below it loses its write permission, which
// stops users other than root (with EACCES).
class ReadOnlyFolder {
public:
    // folder must exist; what it holds stays readable.
    explicit ReadOnlyFolder(const QString& folder);
    ~ReadOnlyFolder();
    ReadOnlyFolder(const ReadOnlyFolder&) = delete;
    ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;

    // The system's reason a write below the folder fails with; 0 when writes still pass
    // (as root where the test may not mount).
    int error() const { return m_error; }
    // Lets writes pass again.
    void release();

private:
    bool bindReadOnly();
    void takeWritePermissions();
    int writeFailure() const;

    QString m_folder;
    bool m_mounted = false;
    QList<QPair<QString, QFileDevice::Permissions>> m_taken; // folders and what they had
    int m_error = 0;
};

// A small file system of its own mounted on a folder, where the test may mount: room for
// a data directory with its state files and folders, and little more.
class OwnFileSystem {
public:
    // folder must exist and be empty.
    explicit OwnFileSystem(const QString& folder);
    ~OwnFileSystem();
    OwnFileSystem(const OwnFileSystem&) = delete;
    OwnFileSystem& operator=(const OwnFileSystem&) = delete;

    bool isMounted() const { return m_mounted; }

private:
    QString m_folder;
    bool m_mounted = false;
};
