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

// Clears the file system's immutable flag of `path`. True when the flag is not
// set afterwards (also on file systems without such a flag).
bool MSRClearImmutableFlag(const std::string& path, MSRError* error = nullptr);
