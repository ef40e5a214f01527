#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/UniqueFd.h"

namespace platform {

// True when the file exists but cannot be had for exclusive use: it cannot be opened for
// reading and writing (read-only, access refused), or another process holds it open.
// The file is never changed. A link is never locked: what replaces it is the link, not its
// target.
bool IsFileLocked(const std::string& path);

bool DirectoryExists(const std::string& path);
// True when the name is taken by anything but a folder; a link counts as what it is, a name in
// the folder, whether or not its target exists.
bool FileExists(const std::string& path);
// Creates the folder with every missing parent folder; true when it exists afterwards.
bool ForceDirectories(const std::string& path);

// The longest file name the file systems we write to take, in bytes.
constexpr std::size_t kMaxNameBytes = 255;

// The name of the partial file of a download named name: "NAME.EXT.part". When that would
// not leave room for 5 more bytes (a file kept beside the part) within kMaxNameBytes, NAME is
// cut, at a character boundary.
std::string PartFileName(const std::string& name);

// A file this program made itself in a folder, never through a link, and put under its final
// name only by a rename, which replaces whatever link or file holds that name instead of
// writing through it. Unless committed or kept, the file is removed when the object goes.
class NewFile {
public:
    // Creates folder/name for reading and writing. A file or link already holding the name is
    // removed first when replace is set (removal never follows a link); otherwise the name
    // must be free. Null with errno set on failure.
    static std::unique_ptr<NewFile> Create(const std::string& folder, const std::string& name,
                                           bool replace);
    // Creates a hidden file of a free name made from name, with its extension, within the name
    // limit: ".STEM.XXXXXX.EXT". Null with errno set on failure.
    static std::unique_ptr<NewFile> CreateHidden(const std::string& folder,
                                                 const std::string& name);
    ~NewFile();
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    int Fd() const { return fd_.get(); }
    const std::string& Path() const { return path_; }
    const std::string& Name() const { return name_; }

    // What became of the file's place since it was made.
    enum class Place {
        Kept,        // the folder is at its path and the file in it under its name
        FolderGone,  // the folder was removed, or moved away from its path
        FileGone,    // the file was removed or replaced
    };
    Place CheckPlace() const;
    // Renames the file over finalName in its folder, once its place is as it was. False with
    // errno set (ENOENT when the folder or the file has gone); the file is then still ours.
    bool CommitAs(const std::string& finalName);
    // The file's size now, as it lies under its name; -1 when it is not there.
    std::int64_t Size() const;
    // Leaves the file where it is when the object goes (a download to be continued).
    void Keep() { kept_ = true; }
    // Closes the file's descriptor; the file stays ours.
    void CloseFd() { fd_.reset(); }

private:
    NewFile() = default;
    bool OpenFolder(const std::string& folder);

    UniqueFd folderFd_;
    UniqueFd fd_;
    std::string folder_;
    std::string name_;
    std::string path_;
    dev_t folderDev_ = 0;
    ino_t folderIno_ = 0;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    bool kept_ = false;
    bool committed_ = false;
};

// The folder of the running executable, with a trailing "/".
std::string ExecutableFolder();

// Asks for a folder with the caption shown above the tree. A folder argument that names no
// existing folder is cleared first; on a choice it receives the path and true is returned.
bool SelectFolder(const std::string& caption, const std::string& root, std::string& folder);

}  // namespace platform
