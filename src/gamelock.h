#pragma once

#include "instancelock.h"

#include <QString>

class QProcess;

// Keeps the data directory from every later start while a game the launcher started runs,
// also once that launcher has gone (ended from a task manager, or crashed of its own): the
// one-launcher lock goes with its launcher, and a new start would play a second game into
// the folder of the first or switch builds under it. An exclusive flock(2) on a file of its
// own in the data directory, taken for each game and shared with that game's process alone,
// through a descriptor only it inherits. The kernel drops the lock once the launcher has let
// go of it and the game has ended, however either ends; a game that ends first leaves no
// trace, as nothing of it is written into the file.
class GameLock {
public:
    // Whether a game started by an earlier launcher of this data directory still runs. Asked
    // while the one-launcher lock is held, when no launcher of this data directory can be
    // starting a game.
    static bool heldByAnEarlierGame();

    // Takes the lock for a game about to start. HeldElsewhere while another game of this data
    // directory runs; Unavailable, with a translated message in error, where the file can be
    // neither opened nor locked.
    InstanceLock::Outcome take(QString* error = nullptr);
    // The program the process starts holds the lock as well, from its start to its end. Other
    // children never get the descriptor: it is closed on their exec.
    void handTo(QProcess& process) const;
    // Lets go of the launcher's hold; a game that was handed the lock keeps it until it ends.
    void release();

private:
    InstanceLock m_lock;
};
