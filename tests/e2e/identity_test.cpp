// What quelm.exe tells about itself without being run: the version resource that Explorer's
// Details tab and PowerShell's VersionInfo show, and the application manifest that Windows reads
// before it starts the program. Read back from the built program, as Windows reads them.
#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include "e2e/harness.h"
#include "sys/utf16.h"

namespace {

#ifdef _WIN32

std::wstring wide(const std::string& utf8) {
  std::u16string text;
  EXPECT_TRUE(sys::toUtf16(utf8, text)) << utf8;
  return std::wstring(text.begin(), text.end());
}

std::wstring programPath() {
  return wide(e2e::platformPath(e2e::programPath()));
}

// A string of the version resource, from the table its first translation names, as Explorer
// looks it up; "(none)" when there is none.
std::string versionString(const std::vector<char>& info, const std::string& name) {
  void* translation = nullptr;
  UINT size = 0;
  if (!VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", &translation, &size) ||
      size < 2 * sizeof(WORD)) {
    return "(none)";
  }
  const WORD* languageAndCodePage = static_cast<const WORD*>(translation);
  char table[32];
  std::snprintf(table, sizeof table, "\\StringFileInfo\\%04x%04x\\", languageAndCodePage[0],
                languageAndCodePage[1]);
  void* value = nullptr;
  if (!VerQueryValueW(info.data(), wide(table + name).c_str(), &value, &size) || size == 0) {
    return "(none)";
  }
  return sys::toUtf8(reinterpret_cast<const char16_t*>(value));
}

// The text of the manifest's first element of that name, with or without a namespace prefix: its
// first mention is its start tag.
std::string elementText(const std::string& manifest, const std::string& element) {
  std::size_t at = manifest.find(element);
  if (at == std::string::npos) return "(none)";
  std::size_t begin = manifest.find('>', at) + 1;
  return manifest.substr(begin, manifest.find('<', begin) - begin);
}

TEST(Identity, VersionResource) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(programPath().c_str(), &ignored);
  ASSERT_NE(size, 0u) << "no version resource, error " << GetLastError();
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(programPath().c_str(), 0, size, info.data()));

  const struct {
    const char* name;
    std::string value;
  } strings[] = {
      {"FileVersion", QUELM_VERSION}, {"ProductVersion", QUELM_VERSION}, {"ProductName", "quelm"},
      {"InternalName", "quelm"},      {"OriginalFilename", "quelm.exe"},
  };
  for (const auto& s : strings) {
    EXPECT_EQ(versionString(info, s.name), s.value) << s.name;
  }
  EXPECT_EQ(versionString(info, "LegalCopyright").rfind("Copyright ", 0), 0u);
  EXPECT_NE(versionString(info, "FileDescription"), "(none)");

  // The numbers Explorer shows as the file version, four parts where the project gives three.
  void* fixed = nullptr;
  UINT fixedSize = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", &fixed, &fixedSize));
  const auto* version = static_cast<const VS_FIXEDFILEINFO*>(fixed);
  EXPECT_EQ(version->dwSignature, 0xFEEF04BDu);
  std::string numbers = std::to_string(HIWORD(version->dwFileVersionMS)) + "." +
                        std::to_string(LOWORD(version->dwFileVersionMS)) + "." +
                        std::to_string(HIWORD(version->dwFileVersionLS));
  std::string tweak = "." + std::to_string(LOWORD(version->dwFileVersionLS));
  EXPECT_TRUE(numbers == QUELM_VERSION || numbers + tweak == QUELM_VERSION) << numbers + tweak;
  EXPECT_EQ(version->dwProductVersionMS, version->dwFileVersionMS);
  EXPECT_EQ(version->dwProductVersionLS, version->dwFileVersionLS);
}

TEST(Identity, Manifest) {
  HMODULE image = LoadLibraryExW(programPath().c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(image, nullptr) << "error " << GetLastError();
  // The manifest Windows reads for a program: RT_MANIFEST 1.
  HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  std::string manifest;
  if (found != nullptr) {
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(image, found)));
    manifest.assign(bytes, SizeofResource(image, found));
  }
  FreeLibrary(image);
  ASSERT_NE(manifest, "") << "no manifest 1";

  EXPECT_EQ(elementText(manifest, "longPathAware"), "true");
  const struct {
    const char* text;
    bool present;
  } parts[] = {
      {"\"asInvoker\"", true},
      {"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", true},  // Windows 10 and 11
      {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", true},  // Windows 7
      // Would change how the program reads its arguments and what it prints.
      {"activeCodePage", false},
  };
  for (const auto& part : parts) {
    EXPECT_EQ(manifest.find(part.text) != std::string::npos, part.present) << part.text;
  }
}

#else

TEST(Identity, VersionResource) {
  GTEST_SKIP() << "no version resources on POSIX: the Windows build's suite reads them";
}

TEST(Identity, Manifest) {
  GTEST_SKIP() << "no application manifests on POSIX: the Windows build's suite reads them";
}

#endif

}  // namespace
