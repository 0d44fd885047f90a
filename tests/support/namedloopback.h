#pragma once

#include <QByteArray>
#include <QString>

// A host name for the tests' loopback servers that does not look like a loopback one, so
// that the system's proxy rules apply to it as to any server's (they never send a loopback
// address or "localhost" through a proxy). The test certificate names it. It resolves only
// in a test run again through runCurrentTest(): there /etc/hosts, in a mount namespace of
// the run's own, maps it to 127.0.0.1, so no lookup of it ever leaves the machine.
namespace NamedLoopback {

inline constexpr char kHostName[] = "files.hollowmere.test";

// "https://files.hollowmere.test:<port>"
QString origin(quint16 port);

// This process is such a run: the name resolves to 127.0.0.1.
bool isMappedHere();

// Whether a mount namespace can be made here (tests run as root).
bool canMap();

// Runs the test function in progress, with its data row, again in a child process of this
// test executable where the name resolves. True when it passed; `output` gets what it
// printed.
bool runCurrentTest(QByteArray* output);

} // namespace NamedLoopback
