#include "ErrorText.h"

#include "JsonValue.h"
#include "NRF/NRF.h"
#include "app/LumoPaths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

std::string errnoText(int error) {
    switch (error) {
    case ENOENT:
        return "No such file";
    case EACCES:
    case EPERM:
        return "Permission denied";
    case EISDIR:
        return "Is a folder";
    case ENOTDIR:
        return "A part of the path is not a folder";
    case ENOSPC:
        return "The disk is full";
    case EDQUOT:
        return "The disk quota is used up";
    case EROFS:
        return "The disk is read-only";
    case EIO:
        return "Input/output error (the disk or card may be failing)";
    case ELOOP:
        return "Too many symbolic links";
    case ENAMETOOLONG:
        return "The name is too long";
    case EMFILE:
    case ENFILE:
        return "Too many open files";
    case ENOMEM:
        return "Out of memory";
    default:
        break;
    }
    char buffer[256];
    return strerror_r(error, buffer, sizeof buffer); // the GNU form answers the text
}

std::string fileProblem(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return errnoText(errno);
    if (S_ISDIR(st.st_mode))
        return errnoText(EISDIR);
    if (!S_ISREG(st.st_mode))
        return "Not a regular file";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return errnoText(errno);
    ::close(fd);
    return {};
}

std::string resultText(NRFErr result, const std::string& typeDescription) {
    switch (result) {
    case kNRFErrParam:
        return "Not possible for this kind of file";
    case kNRFErrUnknownType:
        return "Not an image, raw or movie file that lumo reads";
    case kNRFErrOpen:
        return "Could not be opened for reading";
    case kResultUnwritable:
        return "Could not be written";
    case kNRFErrMemory:
        return "Out of memory";
    case kNRFErrException:
        return "An unexpected error occurred; the log " + LumoPaths::logFilePath() + " says more";
    case kNRFErrBadFormat:
        return typeDescription.empty() ? "Damaged, or not the kind of file its name says"
                                       : "Not a valid " + typeDescription +
                                             " file (damaged, or another kind of file under its name)";
    case kNRFErrFileInfo:
        return "Its file information could not be read";
    case kNRFErrNoThumbnail:
        return "No embedded thumbnail or preview";
    case kNRFErrNotLocal:
        return "Not on this computer";
    case kResultNotYet:
        return "Not possible yet for this kind of file";
    case 8195:
        return "Damaged: a table of its EXIF data has more than 1000 entries";
    default:
        break;
    }
    return "Failed with result " + std::to_string(result);
}

namespace {

// Engine texts that say no more than the result code (or say it wrongly, as "No plugin available" for
// a file that is not there): the words of the code, or of the file system, serve the user better.
bool tellsMoreThanItsCode(const std::string& text) {
    if (text.empty())
        return false;
    for (const char* generic :
         {"No plugin available", "Unable to get filesystem information",
          "Could not read the image information", "Unable to open '", "Fatal error while"})
        if (text.rfind(generic, 0) == 0)
            return false;
    return true;
}

} // namespace

std::string engineFailureText(NRFErr result, const std::string& path, const std::string& typeDescription) {
    switch (result) {
    case kNRFErrParam:
    case kNRFErrUnknownType:
    case kNRFErrOpen:
    case kNRFErrBadFormat:
    case kNRFErrFileInfo:
        if (std::string problem = fileProblem(path); !problem.empty())
            return problem;
        break;
    default:
        break;
    }
    const std::string& text = NRFGetErrorText();
    if (tellsMoreThanItsCode(text))
        return text;
    // The file can be read, so a reading that failed with 10 stopped at a malformed EXIF entry.
    if (result == kNRFErrFileInfo)
        return "A malformed EXIF entry (--strict-exif fails such a file)";
    return resultText(result, typeDescription);
}

nlohmann::ordered_json failureJson(const std::string& path, NRFErr result, const std::string& sentence) {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    if (!path.empty())
        out["path"] = path;
    out["result"] = result;
    out["error"] = sentence;
    return out;
}

std::string oneLine(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (byte < 0x20 || byte == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            out += escape;
        } else
            out += c;
    }
    return out;
}

void reportFailure(const std::string& path, const std::string& sentence) {
    if (path.empty())
        std::fprintf(stderr, "lumo: %s\n", sentence.c_str());
    else
        std::fprintf(stderr, "lumo: %s: %s\n", oneLine(path).c_str(), sentence.c_str());
}

int commandFailed(const CommonOptions& common, NRFErr result, const std::string& sentence, int exitStatus) {
    reportFailure({}, sentence);
    if (common.json) {
        std::cout << jsonText(failureJson({}, result, sentence), 2) << '\n';
        std::cout.flush();
    }
    return exitStatus;
}
