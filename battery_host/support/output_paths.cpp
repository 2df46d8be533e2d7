#include "battery_host/support/output_paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace support {

namespace {

struct Identity {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  std::string path;  // canonical when it can be had
};

Identity IdentityOf(const std::string& path) {
  Identity id;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) {
    id.exists = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
  }
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path real = fs::canonical(path, ec);
  if (!ec) {
    id.path = real.string();
    return id;
  }
  // Not there yet: the canonical folder and the name.
  const fs::path folder = fs::canonical(FolderOf(path), ec);
  id.path = ec ? path : (folder / fs::path(path).filename()).string();
  return id;
}

bool Same(const Identity& a, const Identity& b) {
  if (a.exists && b.exists) return a.dev == b.dev && a.ino == b.ino;
  return a.path == b.path;
}

}  // namespace

bool CheckOutputPaths(const std::vector<NamedPath>& inputs, const std::vector<NamedPath>& outputs,
                      std::string* error) {
  std::vector<Identity> in;
  for (const NamedPath& p : inputs) in.push_back(IdentityOf(p.path));
  std::vector<Identity> out;
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const Identity id = IdentityOf(outputs[i].path);
    for (std::size_t k = 0; k < inputs.size(); ++k) {
      if (Same(id, in[k])) {
        *error = outputs[i].what + " " + outputs[i].path + " is the " + inputs[k].what + " " +
                 inputs[k].path + "; give it a file of its own";
        return false;
      }
    }
    for (std::size_t k = 0; k < out.size(); ++k) {
      if (Same(id, out[k])) {
        *error = outputs[i].what + " " + outputs[i].path + " is also the " + outputs[k].what +
                 "; give each its own file";
        return false;
      }
    }
    out.push_back(id);
  }
  return true;
}

bool CheckWritable(const NamedPath& file, bool replaced, std::string* error) {
  const bool exists = access(file.path.c_str(), F_OK) == 0;
  if (exists && access(file.path.c_str(), W_OK) != 0) {
    *error = file.what + " " + file.path + " cannot be written: " + std::strerror(errno);
    return false;
  }
  if (exists && !replaced) return true;
  const std::string folder = FolderOf(file.path);
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    // A folder that is not there is said by the output's own check, more precisely.
    if (errno == ENOENT || errno == ENOTDIR) return true;
    *error = file.what + " " + file.path + ": its folder " + folder +
             " cannot be written: " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace support
