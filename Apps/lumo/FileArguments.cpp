#include "FileArguments.h"

#include "ErrorText.h"
#include "LumoCli.h"
#include "NRF/NRF.h"
#include "support/FolderListing.h"
#include "support/TextUtils.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>

namespace {

class Expansion {
public:
    explicit Expansion(bool recurse) : m_recurse(recurse) {}

    void argument(const std::string& path) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            fail(path, errno, kNRFErrFileInfo);
            return;
        }
        if (!S_ISDIR(st.st_mode)) {
            add(path, st);
            return;
        }
        const std::size_t before = m_photos;
        folder(path);
        if (m_photos == before)
            std::fprintf(stderr, "lumo: %s: no photos in this folder%s\n", path.c_str(),
                         m_recurse ? " or its subfolders" : " (-r looks in subfolders)");
    }

    // One path a line; a line ending in CR LF loses the CR, empty lines are skipped.
    void list(const std::string& name) {
        FILE* in = name == "-" ? stdin : std::fopen(name.c_str(), "rb");
        if (!in) {
            fail(name, errno);
            return;
        }
        char* line = nullptr;
        std::size_t capacity = 0;
        ssize_t length = 0;
        errno = 0;
        while ((length = ::getline(&line, &capacity, in)) >= 0) {
            std::string path(line, static_cast<std::size_t>(length));
            if (!path.empty() && path.back() == '\n')
                path.pop_back();
            if (!path.empty() && path.back() == '\r')
                path.pop_back();
            if (path.find('\0') != std::string::npos)
                fail(path.substr(0, path.find('\0')), EINVAL); // no path holds a NUL: not a list of paths
            else if (!path.empty())
                argument(path);
            errno = 0;
        }
        const int err = std::ferror(in) ? (errno ? errno : EIO) : 0;
        std::free(line);
        if (in != stdin)
            std::fclose(in);
        if (err)
            fail(name, err);
    }

    std::vector<FileArgument> take() { return std::move(m_out); }

private:
    // The photos of a folder, as a contact sheet would show them (proxies aside).
    void folder(const std::string& path) {
        std::vector<lumo::FolderEntry> entries;
        if (const int err = lumo::FolderListing::entries(path, entries); err != 0) {
            fail(path, err);
            return;
        }
        const std::string prefix = path.back() == '/' ? path : path + "/";
        for (const lumo::FolderEntry& entry : entries) {
            if (entry.name.front() == '.' || lumo::iequals(entry.name, "desktop.ini"))
                continue; // hidden, or the rogue file another system leaves
            const std::string file = prefix + entry.name;
            using Kind = lumo::FolderEntry::Kind;
            Kind kind = entry.kind;
            struct stat st {};
            if (kind == Kind::Unknown) {
                if (::lstat(file.c_str(), &st) != 0)
                    continue; // gone since the folder was read
                kind = S_ISREG(st.st_mode)   ? Kind::File
                       : S_ISDIR(st.st_mode) ? Kind::Folder
                       : S_ISLNK(st.st_mode) ? Kind::Link
                                             : Kind::Other;
            }
            if (kind == Kind::Folder && m_recurse)
                folder(file);
            if (kind != Kind::File)
                continue;           // links are left out, as a contact sheet leaves them out
            bool proxyable = false; // false for the program's own work files
            NRFFileType type = 0;
            if (NRFCouldRepresentWithProxy(file.c_str(), &proxyable) == kNRFErrNone && proxyable &&
                NRFGetType(file.c_str(), &type, false) == kNRFErrNone && ::lstat(file.c_str(), &st) == 0 &&
                S_ISREG(st.st_mode))
                add(file, st);
        }
    }

    void add(const std::string& path, const struct stat& st) {
        ++m_photos; // named before or not
        if (m_seen.insert({st.st_dev, st.st_ino}).second)
            m_out.push_back({path, 0, 0});
    }

    void fail(const std::string& path, int err, NRFErr result = kNRFErrOpen) {
        if (m_failed.insert(path).second)
            m_out.push_back({path, err, result});
    }

    bool m_recurse;
    std::vector<FileArgument> m_out;
    std::size_t m_photos = 0;
    std::set<std::pair<dev_t, ino_t>> m_seen;
    std::set<std::string> m_failed;
};

} // namespace

void FileArguments::addTo(CLI::App& command) {
    command.add_option("files", m_paths, "Files, and folders standing for the photos in them")
        ->type_name("FILE/DIR");
    command.add_flag("-r,--recurse", m_recurse, "Take the photos of the folders' subfolders too");
    command
        .add_option("-@", m_lists,
                    "Take the paths listed in this file, one a line (- reads them from standard input)")
        ->type_name("LIST")
        ->expected(1) // each -@ names one list; what follows is a file again
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

bool FileArguments::takeLast(std::string& value) {
    if (m_paths.empty())
        return false;
    value = std::move(m_paths.back());
    m_paths.pop_back();
    return true;
}

std::vector<FileArgument> FileArguments::expand() const {
    Expansion expansion(m_recurse);
    for (const std::string& path : m_paths)
        expansion.argument(path);
    for (const std::string& list : m_lists)
        expansion.list(list);
    return expansion.take();
}

int noFilesGiven() {
    std::fprintf(stderr, "lumo: give the files or folders to work on (or -@ LIST)\n");
    return kExitBadUsage;
}

std::vector<std::string> FileArguments::readablePaths(int& status, nlohmann::ordered_json& failures) const {
    std::vector<std::string> paths;
    for (const FileArgument& argument : expand()) {
        if (argument.error == 0) {
            paths.push_back(argument.path);
            continue;
        }
        status = kExitSomeFailed;
        reportFailure(argument.path, errnoText(argument.error));
        failures.push_back(failureJson(argument.path, argument.result, errnoText(argument.error)));
    }
    return paths;
}
