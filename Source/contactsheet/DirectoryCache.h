#pragma once

// The directory cache: the last listing of a sheet's folders and its digest, kept in the cache folder
// so that a sheet opened again (by another process too) starts from it, and a folder that did not
// change since stops at the digest instead of building its items again.
//
// One file per folder list: "<cache folder>/DirectoryCache/<digest of the folders>.dat", the digest
// (lumo::pathDigest) taken over the folders in the sheet's order, each followed by a NUL byte. The file
// is "LUMODIRC" and one value in the transport form of CILA::VObject: a hash of
//   "version"  1
//   "folders"  the folders, in the sheet's order
//   "proxies"  whether unknown files were listed as proxies (the listing depends on it)
//   "digest"   the listing's digest
//   "entries"  one vector per accepted file: [folder index, name, size, last-write time (ns),
//              attribute word, file type, is raw]
// The file is untrusted: anything that does not hold together (see DirectoryCacheDecode) is no cache.

#include "contactsheet/FolderScan.h"

#include <cstddef>
#include <string>
#include <vector>

// Reading is bounded: a larger file is no cache.
inline constexpr std::size_t kDirectoryCacheMaxFileSize = 64u << 20;

// Where the listing of `folders` is kept; empty when there is no folder or no cache folder.
std::string DirectoryCachePath(const std::vector<std::string>& folders);

std::string DirectoryCacheEncode(const std::vector<std::string>& folders, bool includeProxies,
                                 const FolderScanResult& listing);
// Decodes the bytes of a cache file kept for `folders` listed with `includeProxies`. False, with the
// reason in `why`, when they are no listing of exactly those folders: a wrong header or version, a
// malformed or truncated value, other folders or proxy setting, an entry of the wrong shape or types, a
// name that is empty, starts with a dot or holds '/' or NUL, names out of order or repeated, a folder
// index out of range or going back, attributes or types the scan never accepts.
bool DirectoryCacheDecode(const std::string& bytes, const std::vector<std::string>& folders,
                          bool includeProxies, FolderScanResult& out, std::string* why = nullptr);

// Reads the listing kept for `folders`; false when there is none to use (a file that is there but
// cannot be used is logged).
bool DirectoryCacheLoad(const std::vector<std::string>& folders, bool includeProxies, FolderScanResult& out);
// Keeps `listing` for `folders`, written whole through a temporary file. A cache folder that cannot be
// written is no error: it is logged once, and the sheet simply has no cache. True when it was written.
bool DirectoryCacheStore(const std::vector<std::string>& folders, bool includeProxies,
                         const FolderScanResult& listing);
