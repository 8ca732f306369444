// Test support: a fresh directory under /tmp, removed with everything in it.
#pragma once

#include <string>

namespace KivTrans2::Testing {

class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::string& Path() const { return FPath; }
  // Path + "/" + Name.
  std::string File(const std::string& Name) const { return FPath + "/" + Name; }
  void Write(const std::string& Name, const std::string& Content) const;
  std::string Read(const std::string& Name) const;

 private:
  std::string FPath;
};

}  // namespace KivTrans2::Testing
