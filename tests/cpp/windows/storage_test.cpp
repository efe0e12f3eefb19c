// PrepareStorage against the shell's real Documents folder (under Wine, the
// prefix's). Only empty folders are ever removed here.
#include <gtest/gtest.h>

#include <string>

#include "engine/my_globals.h"
#include "platform/win32.h"

namespace {

std::wstring Documents() {
  wchar_t path[MAX_PATH] = {};
  EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, path), S_OK);
  return path;
}

bool IsDirectory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The file system's identity of a folder: a folder removed and made again
// gets another one.
struct FolderId {
  DWORD volume = 0;
  DWORD high = 0;
  DWORD low = 0;
  bool operator==(const FolderId& other) const {
    return volume == other.volume && high == other.high && low == other.low;
  }
};

FolderId IdOf(const std::wstring& path) {
  FolderId id;
  HANDLE folder =
      CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  EXPECT_NE(folder, INVALID_HANDLE_VALUE);
  BY_HANDLE_FILE_INFORMATION info{};
  EXPECT_TRUE(GetFileInformationByHandle(folder, &info));
  CloseHandle(folder);
  id.volume = info.dwVolumeSerialNumber;
  id.high = info.nFileIndexHigh;
  id.low = info.nFileIndexLow;
  return id;
}

class Storage : public ::testing::Test {
 protected:
  void SetUp() override {
    documents = Documents();
    ASSERT_FALSE(documents.empty());
    root = documents + L"\\kvengine";
    config = root + L"\\cfg";
    keep = config + L"\\keep.txt";
    DeleteFileW(keep.c_str());
    RemoveDirectoryW(config.c_str());
    RemoveDirectoryW(root.c_str());
    ASSERT_FALSE(IsDirectory(root)) << "Documents\\kvengine is not empty: clear it first";
  }
  void TearDown() override {
    DeleteFileW(keep.c_str());
    RemoveDirectoryW(config.c_str());
    RemoveDirectoryW(root.c_str());
  }
  std::wstring documents, root, config, keep;
};

}  // namespace

TEST_F(Storage, CreatesBothFoldersUnderDocuments) {
  ASSERT_TRUE(IsDirectory(documents));
  EXPECT_EQ(PrepareStorage(), 0);
  EXPECT_TRUE(IsDirectory(root));
  EXPECT_TRUE(IsDirectory(config));
  EXPECT_EQ(TheGlobals().storageRoot, root);
  EXPECT_EQ(TheGlobals().configDirectory, config + L"\\");
}

TEST_F(Storage, CreatesTheConfigFolderWhenOnlyTheRootExists) {
  ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
  const FolderId rootId = IdOf(root);
  EXPECT_EQ(PrepareStorage(), 0);
  EXPECT_TRUE(IsDirectory(config));
  EXPECT_TRUE(IdOf(root) == rootId);
}

TEST_F(Storage, LeavesExistingFoldersAndTheirContentAlone) {
  ASSERT_EQ(PrepareStorage(), 0);
  HANDLE file = CreateFileW(keep.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, "kept", 4, &written, nullptr));
  CloseHandle(file);
  const FolderId rootId = IdOf(root);
  const FolderId configId = IdOf(config);

  EXPECT_EQ(PrepareStorage(), 0);

  EXPECT_TRUE(IdOf(root) == rootId);
  EXPECT_TRUE(IdOf(config) == configId);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  ASSERT_TRUE(GetFileAttributesExW(keep.c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(data.nFileSizeLow, 4u);
}
