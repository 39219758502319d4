#pragma once

// The settings of one upload connection, and the connections saved by name in the preferences.
//
// A saved connection keeps its password in the preferences file; saving one makes that file readable
// and writable by its owner only (mode 0600).

#include "archive/VObject.h"

#include <optional>
#include <string>
#include <vector>

struct FTPConnSettingsStruct {
    // Which agent sends the files.
    enum ProtocolType : int {
        kProtocolFTP = 0,
        kProtocolTemplate = 1, // an upload template of the script engine (not available here)
    };
    // What to do with a file of the same name on the server (the key "copyOptions").
    enum ExistingFilePolicy : int {
        kReplaceExisting = 0, // "Replace existing file on server"
        kRenameNew = 1,       // "Rename file before uploading"
        kRenameExisting = 2,  // "Rename existing file on server"
        kSkipExisting = 3,    // the file is passed over and marked as skipped
    };

    std::string settingsName;
    std::string ftpServer;
    int ftpPort = 21;
    std::string username;
    std::string password;
    bool anonymousEnabled = false; // logs in as "anonymous"
    bool passiveEnabled = true;
    std::string uploadPath; // the folder on the server
    int copyOptions = kReplaceExisting;
    bool autoincSuffixEnabled = false; // a folder of name folderName and an increasing suffix
    std::string folderName;
    int autoincSuffix = 0;
    int protocolType = kProtocolFTP;

    // Explicit TLS (AUTH TLS) on the control and data connections.
    bool tlsEnabled = false;
    // A pinned server certificate for a self-signed server: the path of a PEM file or the SHA-256
    // fingerprint (hexadecimal, colons allowed). Empty: the system's trust store and the host name.
    std::string tlsPinnedCertificate;

    // The user name sent at login ("anonymous" when anonymousEnabled).
    std::string loginUser() const;
    // True for a protocol type this program has an agent for; otherwise logs
    // "FTPConnSettingsStruct: invalid protocol type %d\n" and answers false.
    bool validProtocolType() const;
    // The remote folder files go into: uploadPath, followed by folderName and the suffix when the
    // suffix is on ("/shoots/Game_7").
    std::string destinationFolder() const;

    // The record under the keys above ("settingsName", "ftpServer" ...; the TLS options under
    // "ftpsEnabled" and "ftpsPinnedCertificate").
    CILA::VObject toVObject() const;
    // Missing keys keep their defaults; values of the wrong type are ignored. Nullopt when `record`
    // is not a hash.
    static std::optional<FTPConnSettingsStruct> fromVObject(const CILA::VObject& record);

    bool operator==(const FTPConnSettingsStruct&) const = default;
};

// The connections saved in the preferences (a list of records under "FTPConnections"), by name.
// Each call reads or writes the open preferences (CPreferences::instance()); false or empty when there
// are none open.
namespace FTPConnSettingsList {
// Saves it under its settingsName (replacing one of that name) and commits; then sets the preferences
// file to mode 0600. False for an empty name or when the preferences cannot be written.
bool save(const FTPConnSettingsStruct& settings);
std::optional<FTPConnSettingsStruct> load(const std::string& name);
// Every saved connection in the order saved.
std::vector<FTPConnSettingsStruct> list();
// False when there was none of that name.
bool remove(const std::string& name);
} // namespace FTPConnSettingsList
