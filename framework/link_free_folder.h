#pragma once

#include <string>

namespace fw {

// A folder reached without following a symbolic link, held open by its descriptor. Every file
// the program writes is made through one: the path is walked one folder at a time from the
// root (or from the working folder for a relative path), each step opened relative to the
// one before and refused when it is a link, so a link planted anywhere on the way, at any
// time, cannot take a write out of the folder or into another file. Files are always made
// new (exclusively, under a name nothing stands at), so nothing is ever written through a
// link or through a second name (a hard link) of another file.
class LinkFreeFolder {
 public:
  enum class Missing { kFail, kCreate };

  LinkFreeFolder() = default;
  ~LinkFreeFolder();
  LinkFreeFolder(LinkFreeFolder&& other) noexcept;
  LinkFreeFolder& operator=(LinkFreeFolder&& other) noexcept;
  LinkFreeFolder(const LinkFreeFolder&) = delete;
  LinkFreeFolder& operator=(const LinkFreeFolder&) = delete;

  // Opens the folder at `path`, making the missing folders on the way (mode 0755) with
  // kCreate. On failure the folder is not open and `reason` names the step that failed
  // ("<path so far> is a symbolic link: ...", "<path so far>: Not a directory", ...).
  static LinkFreeFolder open(const std::string& path, Missing missing, std::string& reason);

  bool isOpen() const { return fd_ >= 0; }
  int descriptor() const { return fd_; }
  // The path it was opened by, for messages and for libraries that open files by path.
  const std::string& path() const { return path_; }
  // path() + "/" + name.
  std::string pathOf(const std::string& name) const;

  // A new regular file `name` in this folder, opened for writing (mode 0644): the descriptor,
  // or -1 with the reason when anything stands at the name already or the file cannot be made.
  int createFile(const std::string& name, std::string& reason) const;
  // Renames `from` to `to` in this folder, replacing what stands at `to` (a link or a second
  // name there is replaced, never written through). With `replace` false, fails when
  // anything stands at `to`.
  bool rename(const std::string& from, const std::string& to, bool replace,
              std::string& reason) const;
  // Removes the name when a file or a link stands at it (a folder is left alone).
  void remove(const std::string& name) const;
  // True when anything stands at the name, a dangling link included.
  bool has(const std::string& name) const;

 private:
  LinkFreeFolder(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

  int fd_ = -1;
  std::string path_;
};

// The name a file is written under before it is renamed into place: "<name>.<process id>.tmp".
// The process id keeps two processes off each other's file; at the end of a run this
// process's leftovers are found by the same rule.
std::string temporaryNameOf(const std::string& name);
// The ending that marks this process's temporary files.
std::string temporarySuffix();

// Splits a file path into its folder ("." for a bare name) and its last name.
void splitFilePath(const std::string& path, std::string& folder, std::string& name);

}  // namespace fw
