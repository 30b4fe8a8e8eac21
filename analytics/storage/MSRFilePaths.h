#pragma once

// Where the analytics engine keeps its files, all inside the application's
// sandbox (the data root's Library folder) and all kept out of backups.

#include <string>

#include "analytics/support/MSRError.h"

// "Zevure/Measurement" under Application Support.
std::string MSRSDKDirectoryPath();
// <Library>/Preferences/<name>.plist; "" for an empty name.
std::string MSRPreferencesPlistPath(const std::string& suiteName);
// <engine directory>/<name>; "" for an empty name.
std::string MSRSDKFilePath(const std::string& fileName);
// As MSRSDKFilePath, with ".plist" appended unless the name already ends so.
std::string MSRSDKPlistPath(const std::string& name);

// Marks `path` as excluded from device backups. Fails when nothing is there.
bool MSRExcludePathFromBackup(const std::string& path, MSRError* error);
// True when `path` carries the backup-exclusion mark.
bool MSRIsPathExcludedFromBackup(const std::string& path);
bool MSRDeleteFileAtPath(const std::string& path, MSRError* error);
// Moves a persisted-configuration file of older versions out of the
// preferences folder into the engine directory. True when nothing is left to
// move.
bool MSRMigrateLegacyPreferencesFile(const std::string& suiteName);

// The engine's files are readable by the owner only, whatever the process's
// umask: folders 0700, files 0600.
constexpr unsigned kMSROwnerOnlyDirectoryMode = 0700;
// Creates `directory` and its missing parents, each owner-only. Folders that
// exist already keep their mode. True when the folder exists afterwards.
bool MSRCreateOwnerOnlyDirectories(const std::string& directory, MSRError* error = nullptr);
// Creates the engine directory owner-only, and narrows it and its parent
// when an older version left them open to others. True when it exists.
bool MSRCreateEngineDirectory(MSRError* error = nullptr);
// Takes the group's and others' access away from the file at `path`, by its
// path: opening and closing a descriptor of a database would drop the locks
// its connections hold. True when nothing is there or the file is owner-only
// afterwards.
bool MSRRestrictFileToOwner(const std::string& path, MSRError* error = nullptr);

// Clears the file system's immutable flag of `path`. True when the flag is not
// set afterwards (also on file systems without such a flag).
bool MSRClearImmutableFlag(const std::string& path, MSRError* error = nullptr);
