#include "NRF/NRF.h"

#include "NRF/NRFICC.h"
#include "NRF/NRFImageInfo.h"
#include "app/LumoLog.h"
#include "support/FileIO.h"
#include "support/TextUtils.h"

#include <array>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string_view>

namespace {

thread_local std::string tErrorText;

std::mutex gLabelMutex;
std::array<std::string, 9> gColorClassLabels; // index 0 unused

// The extension by the engine's rule: three letters when '.' is fourth from the end of a path of at
// least 5 characters, else four letters when '.' is fifth from the end of one of at least 6, with no
// '.' after it in either case. "photo.jp" and "archive.tar.gz" have none.
std::string_view extensionOf(std::string_view path) {
    const auto tail = [&](std::size_t n) { return path.substr(path.size() - n); };
    if (path.size() >= 5 && path[path.size() - 4] == '.' && tail(3).find('.') == std::string_view::npos)
        return tail(4);
    if (path.size() >= 6 && path[path.size() - 5] == '.' && tail(4).find('.') == std::string_view::npos)
        return tail(5);
    return {};
}

// Entries 0 and 1 hold three-letter extensions, 2 and 3 four-letter ones.
bool rowHasExtension(const NRFFileTypeInfo& row, std::string_view extension) {
    const int first = extension.size() == 4 ? 0 : 2;
    for (int i = first; i < first + 2; ++i)
        if (row.extensions[i][0] != '\0' && lumo::iequals(row.extensions[i], extension))
            return true;
    return false;
}

NRFErr getType(const char* path, NRFFileType* type, bool allowProxy) {
    if (!path || !type) {
        NRFSetErrorText("Fatal error while getting file type");
        return kNRFErrParam;
    }
    NRFContext& context = NRFGetContext();
    const std::string pathText(path);
    const std::string_view extension = extensionOf(pathText);
    // Opened at most once, for the first row that needs a look inside; closed when this returns.
    lumo::File file;
    bool openTried = false;
    const auto openFile = [&] {
        if (!openTried)
            file.open(pathText, lumo::File::Mode::Read);
        openTried = true;
        return file.isOpen();
    };

    const NRFFileTypeInfo* candidate = nullptr;
    const int count = NRFFileTypeCount();
    for (int index = 0; !extension.empty() && index < count; ++index) {
        const NRFFileTypeInfo& row = *NRFGetFileTypeInfo(index);
        if (!row.enabled || !rowHasExtension(row, extension))
            continue;
        if (row.needsContentCheck) {
            const NRFPluginFunctions& reader = *NRFGetPluginFunctions(index);
            bool yes = false;
            // A check always starts from offset 0: it reads by position, never from a shared cursor.
            if (!reader.IsFileOfType || !openFile() ||
                reader.IsFileOfType(context, file, pathText, yes) != 0 || !yes)
                continue;
        }
        if (!candidate || row.priority < candidate->priority)
            candidate = &row;
    }
    if (candidate) {
        *type = candidate->fileType;
        return kNRFErrNone;
    }
    if (allowProxy && count > 0) {
        const NRFPluginFunctions& proxy = *NRFGetPluginFunctions(count - 1);
        bool yes = false;
        if (proxy.IsFileOfType && openFile() && proxy.IsFileOfType(context, file, pathText, yes) == 0 &&
            yes) {
            *type = NRFGetFileTypeInfo(count - 1)->fileType;
            return kNRFErrNone;
        }
    }
    return kNRFErrUnknownType;
}

const NRFFileTypeInfo* rowFor(NRFFileType type) {
    return NRFGetFileTypeInfo(NRFFindFileType(type));
}

// The steps every record operation shares; `answer` gets the row and reader of the record's type.
template <class Answer>
NRFErr dispatch(const char* name, NRFImageInfoRec* record, const void* out, Answer&& answer) {
    try {
        if (!record || !out)
            return kNRFErrParam;
        if (!record->IsLocal())
            return kNRFErrNotLocal;
        const int index = NRFFindFileType(record->m_fileType);
        if (index < 0)
            return kNRFErrParam;
        return answer(*NRFGetFileTypeInfo(index), *NRFGetPluginFunctions(index));
    } catch (const std::exception& e) {
        LUMO_LOG("Unexpected exception in %s() %s", name, e.what());
    } catch (...) {
        LUMO_LOG("Unexpected exception in %s()", name);
    }
    return kNRFErrException;
}

// Asks a reader's yes/no entry; a missing entry answers no with result 1.
NRFErr askReader(NRFQueryProc entry, NRFImageInfoRec& record, bool* yes) {
    *yes = false;
    return entry ? entry(NRFGetContext(), record, *yes) : kNRFErrParam;
}

NRFErr answer(bool* yes, bool value) {
    *yes = value;
    return kNRFErrNone;
}

} // namespace

NRFErr NRFInit(const std::string& pluginPath) {
    const auto stage = [](const char* what, auto&& run) -> NRFErr {
        try {
            return run();
        } catch (...) {
            LUMO_LOG("Exception in NRFInit() while %s", what);
            return kNRFErrException;
        }
    };
    NRFErr err = stage("setting plugin path", [&] {
        NRFGetContext().pluginPath = pluginPath;
        return kNRFErrNone;
    });
    // The scaling engine keeps no state: its stage only keeps the order of the steps.
    if (!err)
        err = stage("initializing ICC profiles", [] { return NRFICCInitProfiles(); });
    if (!err)
        err = stage("initializing NRF plugins", [] {
            // Readers that keep nothing per record have no InitImageInfo entry: nothing to prepare.
            NRFLocalImageInfoRec::SetInitImageInfoHandler([](NRFLocalImageInfoRec& record) -> NRFErr {
                const NRFPluginFunctions* reader = NRFGetPluginFunctions(NRFFindFileType(record.m_fileType));
                if (!reader)
                    return kNRFErrParam;
                return reader->InitImageInfo ? reader->InitImageInfo(NRFGetContext(), record) : kNRFErrNone;
            });
            return NRFLoadPlugins();
        });
    if (!err)
        err = stage("initializing Scaling engine", [] { return kNRFErrNone; });
    if (!err)
        err = stage("initializing random number generator", [] {
            std::srand(static_cast<unsigned>(std::time(nullptr)));
            return kNRFErrNone;
        });
    return err;
}

void NRFTerminate() {
    try {
        NRFTerminatePlugins();
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFTerminate()");
    }
}

const std::string& NRFGetErrorText() {
    return tErrorText;
}

void NRFSetErrorText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    tErrorText = lumo::formatStringV(format, args);
    va_end(args);
}

NRFErr NRFGetType(const char* path, NRFFileType* type, bool allowProxy) {
    try {
        return getType(path, type, allowProxy);
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFGetType()");
        return kNRFErrException;
    }
}

NRFErr NRFIsAKnownFileType(const char* path, bool* yes) {
    try {
        if (!path || !yes)
            return kNRFErrParam;
        *yes = false;
        const std::string_view text(path);
        if (text.size() >= 4) {
            for (const char* sidecar : {".wav", ".xip", ".xmp", ".ipt", ".thm", ".ori"})
                if (lumo::iequals(text.substr(text.size() - 4), sidecar))
                    return answer(yes, true);
        }
        const std::string_view extension = extensionOf(text);
        for (int index = 0; !extension.empty() && index < NRFFileTypeCount(); ++index)
            if (rowHasExtension(*NRFGetFileTypeInfo(index), extension))
                return answer(yes, true);
        return kNRFErrNone;
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFIsAKnownFileType()");
        return kNRFErrException;
    }
}

NRFErr NRFCouldRepresentWithProxy(const char* path, bool* yes) {
    if (!path || !yes)
        return kNRFErrParam;
    try {
        return answer(yes, NRFFileTypeCount() > 0 && NRFProxyAccepts(path));
    } catch (...) {
        LUMO_LOG("Unexpected exception in NRFCouldRepresentWithProxy()");
        return kNRFErrException;
    }
}

NRFErr NRFGetDescription(NRFFileType type, std::string* description) {
    const NRFFileTypeInfo* row = rowFor(type);
    if (!row || !description)
        return kNRFErrParam;
    *description = row->description;
    return kNRFErrNone;
}

NRFErr NRFGetMediaType(NRFFileType type, std::string* mediaType) {
    const NRFFileTypeInfo* row = rowFor(type);
    if (!row || !mediaType)
        return kNRFErrParam;
    switch (row->mediaKind) {
    case kNRFMediaStill:
        *mediaType = "still";
        break;
    case kNRFMediaVideo:
        *mediaType = "video";
        break;
    case kNRFMediaAudio:
        *mediaType = "audio";
        break;
    case kNRFMediaMeta:
        *mediaType = "meta";
        break;
    default:
        *mediaType = "unknown";
    }
    return kNRFErrNone;
}

NRFErr NRFGetCapabilities(NRFFileType type, std::uint32_t* capabilities) {
    const NRFFileTypeInfo* row = rowFor(type);
    if (!row || !capabilities)
        return kNRFErrParam;
    *capabilities = row->capabilities;
    return kNRFErrNone;
}

NRFErr NRFUsesMovieSidecars(NRFFileType type, bool* yes) {
    const NRFFileTypeInfo* row = rowFor(type);
    return row && yes ? answer(yes, row->capabilities & kNRFCapMovieSidecars) : kNRFErrParam;
}

NRFErr NRFUsesRawSidecar(NRFFileType type, bool* yes) {
    const NRFFileTypeInfo* row = rowFor(type);
    return row && yes ? answer(yes, row->capabilities & kNRFCapRawSidecar) : kNRFErrParam;
}

NRFErr NRFIsNeverCachedFullSize(NRFFileType type, bool* yes) {
    const NRFFileTypeInfo* row = rowFor(type);
    return row && yes ? answer(yes, row->cacheFlag != 0) : kNRFErrParam;
}

NRFErr NRFCanUpdateIPTCForType(NRFFileType type, bool* yes, bool* askReader) {
    const NRFFileTypeInfo* row = rowFor(type);
    if (!row || !yes || !askReader)
        return kNRFErrParam;
    *askReader = false;
    if (type == kNRFTypeProxy)
        return answer(yes, false);
    if (row->capabilities & (kNRFCapRawSidecar | kNRFCapMovieSidecars))
        return answer(yes, true); // the metadata goes to a sidecar
    if (!(row->capabilities & kNRFCapIPTC))
        return answer(yes, false);
    if (row->metadataStorage == kNRFStorageBesideFile)
        return answer(yes, true);
    *askReader = true;
    return answer(yes, false);
}

void NRFSetColorClassLabel(int index, const char* text) {
    if (index < 1 || index > 8)
        return;
    const std::lock_guard lock(gLabelMutex);
    gColorClassLabels[static_cast<std::size_t>(index)] = text ? text : "";
}

std::string NRFGetColorClassLabel(int index) {
    if (index < 1 || index > 8)
        return {};
    const std::lock_guard lock(gLabelMutex);
    return gColorClassLabels[static_cast<std::size_t>(index)];
}

// ---- Record operations --------------------------------------------------------------------------

NRFErr NRFHaveThumbnail(NRFImageInfoRec* record, bool* yes) {
    return dispatch("NRFHaveThumbnail", record, yes,
                    [&](const NRFFileTypeInfo& row, const NRFPluginFunctions& f) {
                        return row.capabilities & kNRFCapThumbnail ? askReader(f.HaveThumbnail, *record, yes)
                                                                   : answer(yes, false);
                    });
}

NRFErr NRFCanPreview(NRFImageInfoRec* record, bool* yes) {
    return dispatch("NRFCanPreview", record, yes,
                    [&](const NRFFileTypeInfo& row, const NRFPluginFunctions& f) {
                        if (row.capabilities & kNRFCapAlwaysPreview)
                            return answer(yes, true);
                        return row.capabilities & kNRFCapRawPreview ? askReader(f.CanPreview, *record, yes)
                                                                    : answer(yes, false);
                    });
}

NRFErr NRFCanRender(NRFImageInfoRec* record, bool* yes) {
    return dispatch("NRFCanRender", record, yes,
                    [&](const NRFFileTypeInfo& row, const NRFPluginFunctions& f) {
                        if (row.capabilities & kNRFCapAlwaysRender)
                            return answer(yes, true);
                        if (row.capabilities & kNRFCapNeverRender)
                            return answer(yes, false);
                        return askReader(f.CanRender, *record, yes);
                    });
}

NRFErr NRFLoadICCProfile(NRFImageInfoRec* record, std::string* profile) {
    return dispatch("NRFLoadICCProfile", record, profile,
                    [&](const NRFFileTypeInfo&, const NRFPluginFunctions& f) -> NRFErr {
                        profile->clear();
                        if (!f.LoadICCProfile)
                            return kNRFErrNoThumbnail;
                        NRFOperationArgs args;
                        args.iccProfile = profile;
                        return f.LoadICCProfile(NRFGetContext(), *record, &args);
                    });
}

NRFErr NRFSaveBitmapAsFile(NRFImageInfoRec* record, const NRFBitmapBase* bitmap,
                           const NRFSaveOptions* options) {
    return dispatch("NRFSaveBitmapAsFile", record, bitmap,
                    [&](const NRFFileTypeInfo& row, const NRFPluginFunctions& f) -> NRFErr {
                        if (!(row.capabilities & kNRFCapSaveBitmap) || !f.SaveBitmapAsFile) {
                            NRFSetErrorText("Plugin for '%s' cannot save bitmaps.", record->m_path.c_str());
                            return kNRFErrParam;
                        }
                        NRFOperationArgs args;
                        args.source = bitmap;
                        args.saveOptions = options;
                        return f.SaveBitmapAsFile(NRFGetContext(), *record, &args);
                    });
}

NRFErr NRFCanExtractPreview(NRFImageInfoRec* record, bool* yes) {
    return dispatch("NRFCanExtractPreview", record, yes,
                    [&](const NRFFileTypeInfo&, const NRFPluginFunctions& f) {
                        return askReader(f.CanExtractPreview, *record, yes);
                    });
}

NRFErr NRFHaveIPTC(NRFImageInfoRec* record, bool embeddedOnly, bool* yes) {
    return dispatch("NRFHaveIPTC", record, yes, [&](const NRFFileTypeInfo& row, const NRFPluginFunctions& f) {
        if (!(row.capabilities & kNRFCapIPTC))
            return answer(yes, false);
        if (record->m_hasXmpSidecar && !embeddedOnly)
            return answer(yes, true);
        return askReader(f.HaveIPTC, *record, yes);
    });
}

NRFErr NRFCanUpdateIPTC(NRFImageInfoRec* record, bool* yes) {
    return dispatch("NRFCanUpdateIPTC", record, yes,
                    [&](const NRFFileTypeInfo& row, const NRFPluginFunctions& f) {
                        bool ask = false;
                        const NRFErr err = NRFCanUpdateIPTCForType(row.fileType, yes, &ask);
                        return err || !ask ? err : askReader(f.CanUpdateIPTC, *record, yes);
                    });
}

NRFErr NRFLoadIPTC(NRFImageInfoRec* record, std::string* block) {
    return dispatch("NRFLoadIPTC", record, block,
                    [&](const NRFFileTypeInfo& row, const NRFPluginFunctions& f) -> NRFErr {
                        block->clear();
                        if (!(row.capabilities & kNRFCapIPTC) || !f.LoadIPTC)
                            return kNRFErrNone;
                        NRFOperationArgs args;
                        args.iptcBlock = block;
                        return f.LoadIPTC(NRFGetContext(), *record, &args);
                    });
}

NRFErr NRFSaveIPTC(NRFImageInfoRec* record, const std::string* block) {
    return dispatch(
        "NRFSaveIPTC", record, block, [&](const NRFFileTypeInfo& row, const NRFPluginFunctions& f) -> NRFErr {
            if (!(row.capabilities & kNRFCapIPTC) || !f.SaveIPTC) {
                NRFSetErrorText("Plugin for '%s' cannot update IPTC metadata.", record->m_path.c_str());
                return kNRFErrParam;
            }
            NRFOperationArgs args;
            args.newIptcBlock = block;
            return f.SaveIPTC(NRFGetContext(), *record, &args);
        });
}

NRFErr NRFUndoSaveIPTC(NRFImageInfoRec* record) {
    return dispatch("NRFUndoSaveIPTC", record, record,
                    [&](const NRFFileTypeInfo&, const NRFPluginFunctions& f) -> NRFErr {
                        return f.UndoSaveIPTC ? f.UndoSaveIPTC(NRFGetContext(), *record, nullptr)
                                              : kNRFErrParam;
                    });
}

NRFErr NRFCanUpdateXMP(NRFImageInfoRec* record, bool* yes) {
    return dispatch("NRFCanUpdateXMP", record, yes,
                    [&](const NRFFileTypeInfo& row, const NRFPluginFunctions& f) {
                        bool ask = false;
                        const NRFErr err = NRFCanUpdateIPTCForType(row.fileType, yes, &ask);
                        return err || !ask ? err : askReader(f.CanUpdateXMP, *record, yes);
                    });
}

NRFErr NRFCanMaskUnmask(NRFImageInfoRec* record, bool* yes) {
    return dispatch("NRFCanMaskUnmask", record, yes,
                    [&](const NRFFileTypeInfo&, const NRFPluginFunctions& f) {
                        return askReader(f.CanMaskUnmask, *record, yes);
                    });
}

NRFErr NRFCanCrop(NRFImageInfoRec* record, bool* yes) {
    return dispatch("NRFCanCrop", record, yes, [&](const NRFFileTypeInfo& row, const NRFPluginFunctions&) {
        return answer(yes, row.capabilities & kNRFCapCrop);
    });
}

NRFErr NRFCloseImageForPlugin(NRFImageInfoRec* record) {
    return dispatch("NRFCloseImageForPlugin", record, record,
                    [&](const NRFFileTypeInfo&, const NRFPluginFunctions& f) {
                        return f.CloseImage ? f.CloseImage(NRFGetContext(), *record) : kNRFErrParam;
                    });
}

NRFErr NRFCheckForAttachedFiles(NRFImageInfoRec* record) {
    return dispatch("NRFCheckForAttachedFiles", record, record,
                    [&](const NRFFileTypeInfo& row, const NRFPluginFunctions&) {
                        std::vector<std::string> files;
                        int sounds = 0;
                        const NRFErr err =
                            NRFFindAttachedFiles(record->m_path, row.fileType, &files, &sounds);
                        if (err == kNRFErrNone) {
                            record->m_attachedFiles = std::move(files);
                            record->m_soundFileCount = static_cast<std::uint32_t>(sounds);
                        }
                        return err;
                    });
}
