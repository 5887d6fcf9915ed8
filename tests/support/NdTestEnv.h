#pragma once

#include <QByteArray>
#include <QString>

// Puts Qt's standard paths into test mode and empties this test's data folder,
// so no test reads or writes the user's real folders or another run's files.
void NdTestInitEnvironment();

// The folder the store and the log use in test mode (AppDataLocation).
QString NdTestDataDir();

// The repository's root, for test data kept in the tree.
QString NdTestSourceDir();

// The text of every log file of a program whose AppDataLocation is dataDir.
QString NdTestLogText(const QString& dataDir);

// home/tmp, made private to its owner: the runtime folder of the programs a
// test starts with that home (and the temporary folder of a bare session).
QString NdPrivateTmpDir(const QString& home);

// The file's bytes; empty when it cannot be read.
QByteArray NdReadFile(const QString& path);

// Writes the file whole; false when it cannot.
bool NdWriteFile(const QString& path, const QByteArray& bytes);
