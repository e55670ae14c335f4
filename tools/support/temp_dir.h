// A private folder under $TMPDIR (else /tmp), removed with its contents when
// the owner goes. Its path is short, so that UNIX socket paths fit in it.
#ifndef TOLVARINE_TOOLS_TEMP_DIR_H
#define TOLVARINE_TOOLS_TEMP_DIR_H

#include <string>

namespace tolvarine_tools {

class TempDir {
 public:
  // Throws std::runtime_error when the folder cannot be made.
  explicit TempDir(const std::string& prefix = "tolvarine");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return m_path; }
  std::string file(const std::string& name) const { return m_path + "/" + name; }
  // Writes `text` to a file in the folder; returns false when it cannot.
  bool write(const std::string& name, const std::string& text) const;
  // The content of a file in the folder (empty when there is none).
  std::string read(const std::string& name) const;

 private:
  std::string m_path;
};

}  // namespace tolvarine_tools

#endif  // TOLVARINE_TOOLS_TEMP_DIR_H
