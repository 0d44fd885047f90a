#pragma once

#include <QCryptographicHash>
#include <QNetworkReply>
#include <QString>
#include <QUrl>

#include <utility>

// What a download is asked to fetch and how it treats a failed try, apart from the
// download itself so that the file side (DownloadFile) builds without it.

// One file to fetch and what it must turn out to be.
struct DownloadTarget {
    DownloadTarget(QUrl url, QString path, QString digest = {},
                   QCryptographicHash::Algorithm algorithm = QCryptographicHash::Sha1,
                   qint64 size = 0)
        : url(std::move(url)), path(std::move(path)), digest(std::move(digest)),
          algorithm(algorithm), size(size)
    {
    }

    QUrl url;
    QString path;   // absolute; replaced only by a complete, verified file
    QString digest; // hex; empty: nothing to compare
    QCryptographicHash::Algorithm algorithm;
    qint64 size; // the most bytes expected; 0 when unknown, then free disk space bounds it
    Qt::CaseSensitivity digestCase = Qt::CaseInsensitive;
    bool digestRequired = false; // an empty digest fails the comparison instead of passing it
};

// How a download treats a failed attempt. By default it tries once.
struct RetryRule {
    int attempts = 1;    // tries in all
    int delayStepMs = 0; // the n-th retry waits n times this long
    // Network failures worth another try; a body that fails its digest or size
    // always is, while tries are left.
    bool (*transient)(int httpStatus, QNetworkReply::NetworkError error) = nullptr;
};
