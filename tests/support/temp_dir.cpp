#include "support/temp_dir.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <stdlib.h>

namespace KivTrans2::Testing {

TTempDir::TTempDir() {
  std::string Templ = (std::filesystem::temp_directory_path() / "kivtest-XXXXXX").string();
  if (!::mkdtemp(Templ.data())) throw std::runtime_error("mkdtemp failed");
  FPath = Templ;
}

TTempDir::~TTempDir() {
  std::error_code Ignored;
  std::filesystem::remove_all(FPath, Ignored);
}

void TTempDir::Write(const std::string& Name, const std::string& Content) const {
  std::ofstream Out(File(Name), std::ios::binary | std::ios::trunc);
  Out << Content;
}

std::string TTempDir::Read(const std::string& Name) const {
  std::ifstream In(File(Name), std::ios::binary);
  std::stringstream S;
  S << In.rdbuf();
  return S.str();
}

}  // namespace KivTrans2::Testing
