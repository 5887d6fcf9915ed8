#pragma once

#include <QString>

// The mark that one user runs one NdDownloader: an exclusive lock on the file
// "instance.lock" in a folder that only this user can enter. The kernel drops
// the lock with the process, so an instance that was killed never locks the
// user out, and other users' instances never meet it.
class NdInstanceLock
{
public:
    enum Outcome
    {
        Acquired,   // this process is the user's instance
        HeldByPeer, // another instance of this user runs: hand the request to it
        Unavailable // no private folder or no lock file: run without the guard
    };

    NdInstanceLock() = default;
    // Releases the lock.
    ~NdInstanceLock();
    NdInstanceLock(const NdInstanceLock&) = delete;
    NdInstanceLock& operator=(const NdInstanceLock&) = delete;

    Outcome Acquire();
    // The private folder Acquire settled on, where the hand-over socket lives
    // too; empty when no folder passed the check.
    QString Folder() const { return RuntimeFolder; }
    // Why Acquire returned Unavailable.
    QString ErrorString() const { return Error; }

private:
    QString RuntimeFolder;
    QString Error;
    int Fd = -1;
};
