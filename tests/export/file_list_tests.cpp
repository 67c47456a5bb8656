// The file list's rules: exact duplicates and the files a folder adds.
#include "export/file_list.h"

#include "test_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {

std::vector<std::string> Sorted(std::vector<std::string> paths) {
    std::sort(paths.begin(), paths.end());
    return paths;
}

TEST(FileListTest, DuplicatesAreExactMatchesOnly) {
    std::vector<std::string> list{"/a/photo.jpg"};
    EXPECT_EQ(AddPathsToList(list, {"/a/photo.jpg", "/a/Photo.jpg", "/a/./photo.jpg", "/a/Photo.jpg"}), 2u);
    EXPECT_EQ(list, (std::vector<std::string>{"/a/photo.jpg", "/a/Photo.jpg", "/a/./photo.jpg"}));
    EXPECT_TRUE(IsListed(list, "/a/Photo.jpg"));
    EXPECT_FALSE(IsListed(list, "/a/PHOTO.jpg"));
}

TEST(FileListTest, FolderGivesItsOwnFilesOnly) {
    TTempDir dir;
    WriteBytes(dir / "visible.txt", "v");
    WriteBytes(dir / ".hidden", "h");
    WriteBytes(dir / "~$report.docx", "lock");
    WriteBytes(dir / "not-utf8-\xff\xfe.bin", "x");
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    WriteBytes(dir / "sub/inner.txt", "i");
    ASSERT_EQ(symlink((dir / "sub").c_str(), (dir / "link-to-sub").c_str()), 0);
    ASSERT_EQ(symlink((dir / "visible.txt").c_str(), (dir / "link-to-file").c_str()), 0);
    ASSERT_EQ(symlink((dir / "gone").c_str(), (dir / "dangling").c_str()), 0);

    const std::vector<std::string> expected = Sorted({dir / "visible.txt", dir / ".hidden", dir / "not-utf8-\xff\xfe.bin",
                                                      dir / "link-to-file", dir / "dangling"});
    EXPECT_EQ(Sorted(ListFolderFiles(dir.Path())), expected);
    // One trailing "/" is dropped before names are joined.
    EXPECT_EQ(Sorted(ListFolderFiles(dir.Path() + "/")), expected);
}

TEST(FileListTest, TildeDollarAnywhereInThePathSkipsTheFile) {
    TTempDir dir;
    const std::string folder = dir / "~$folder";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    WriteBytes(folder + "/plain.txt", "p");
    EXPECT_TRUE(ListFolderFiles(folder).empty());
}

TEST(FileListTest, EmptyMissingAndFolderOnlyFoldersGiveNothing) {
    TTempDir dir;
    EXPECT_TRUE(ListFolderFiles(dir.Path()).empty());
    ASSERT_EQ(mkdir((dir / "only").c_str(), 0755), 0);
    EXPECT_TRUE(ListFolderFiles(dir.Path()).empty());
    EXPECT_TRUE(ListFolderFiles(dir / "missing").empty());
}

TEST(FileListTest, RootJoinsNamesWithOneSlash) {
    std::vector<std::string> expected;
    for (const std::string& name : FolderNames("/")) {
        struct stat info {};
        if (name.find("~$") == std::string::npos && !(stat(("/" + name).c_str(), &info) == 0 && S_ISDIR(info.st_mode)))
            expected.push_back("/" + name);
    }
    if (expected.empty()) GTEST_SKIP() << "no files directly in /";
    EXPECT_EQ(Sorted(ListFolderFiles("/")), expected);
}

TEST(FileListTest, IsFileRejectsFoldersAndMissingPaths) {
    TTempDir dir;
    WriteBytes(dir / "f", "");
    EXPECT_TRUE(IsFile(dir / "f"));
    EXPECT_FALSE(IsFile(dir.Path()));
    EXPECT_FALSE(IsFile(dir / "missing"));
    EXPECT_FALSE(IsFile(""));
}

}  // namespace
