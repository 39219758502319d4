#pragma once

// Scanning a contact sheet's folders, and joining raw files with their JPEG, HEIF or HEIC partners.

#include "contactsheet/DocumentItem.h"
#include "contactsheet/FindFiles.h"

#include <cstdint>
#include <string>
#include <vector>

struct FolderScanEntry {
    std::string folder;
    DirectoryEntry entry;
    std::string path() const;
};

struct FolderScanResult {
    std::vector<FolderScanEntry> entries; // folders in the given order, names in name order
    std::string digest;                   // over every folder's entries: equal digests, unchanged content
    std::uint64_t raw = 0, nonRaw = 0, unknown = 0;
    int error = 0; // the first folder that could not be read: its errno value
};

// Scans each folder with a fresh ContactSheetFilter ("Scanning path: '%s'", "File counts added for
// path, RAW(%lu), Non-RAW(%lu), Unknown(%lu)"). The caller holds lumo::scanLock().
FolderScanResult ScanFolders(const std::vector<std::string>& folders, bool includeProxies);

// The base name partners are matched by: the file name without its folder and its last extension.
std::string JoinBaseName(const std::string& path);

// Joins each raw item with one partner of the same base name (HEIF, then HEIC, then JPEG; DNG and
// proxies never join); the partner leaves the list. Order of the remaining items is kept.
//
// - The raw file is always the primary and the JPEG/HEIF/HEIC its companion: the raw is the original
//   the photographer keeps, and its partner is the camera's rendering of it.
// - Base names are compared without regard to letter case (IMG_1.CR2 and IMG_1.jpg join: cameras and
//   the card's file system do not keep case reliably), and only within one folder (two cards' IMG_0001
//   in a sheet of several folders are different photos).
// - Only raw files take a partner: a TIFF, Photoshop file or movie of the same name as a JPEG stays a
//   photo of its own (a phone's movie never hides its HEIC still).
// - When a raw has several partners, the first of the best type in list order is taken and the others
//   stay single; when several raws share a base name, the first raw takes the partner.
// Separating and joining again gives the same pairs: separating puts each companion right after its
// primary, and the choice depends only on names and types.
std::vector<DocumentItem::Ref> JoinRawPlusJpeg(std::vector<DocumentItem::Ref> items);
// Splits every joined item back into two single items (the companion right after its primary).
std::vector<DocumentItem::Ref> SeparateCompanions(std::vector<DocumentItem::Ref> items);
