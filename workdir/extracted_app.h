#pragma once

#include <deque>
#include <set>
#include <string>

class ContentsReader;

// The working directory of one pass of the launcher. Construction chooses a
// parent directory, creates the per-user working directory there or reuses
// the one that another run of the same launcher and user has filled, and
// returns with it complete and held under a shared flock. Release (Cleanup,
// and the destructor) erases it when no other run still holds it.
class ExtractedApp {
 public:
  ExtractedApp(bool keepContents, std::set<std::string> skipDirs);
  ~ExtractedApp();
  ExtractedApp(ExtractedApp const&) = delete;
  ExtractedApp& operator=(ExtractedApp const&) = delete;

  std::string const& GetDirPath() const { return dirPath; }
  std::set<std::string> GetSkipDirs() const { return skipDirs; }

  // Gives up the working directory; erases it when this run is its last
  // user and the keep flag is clear. Safe to call again after it completed.
  void Cleanup();

  // Writes the embedded contents into the directory open at dirFd, or with
  // verifyOnly checks that an existing one still matches them. Every path is
  // resolved beneath dirFd without following symbolic links.
  static void ExtractContents(int dirFd, bool verifyOnly);
  // The same walk over any stream: the embedded one, or a test's.
  static void ExtractContents(ContentsReader reader, int dirFd,
                              bool verifyOnly);

  // Remove everything inside the directory at path, never following a
  // symbolic link and never leaving the directory's file system. The first
  // raises at the first failure; the second logs it instead.
  static void EraseDirContents(std::string const& path);
  static void EraseDirContentsSafe(std::string const& path);
  // The same for a directory already open, wherever its path now leads; path
  // serves only to look at entries whose type the directory does not report.
  static void EraseDirContents(int dirFd, std::string const& path);
  static void EraseDirContentsSafe(int dirFd, std::string const& path);

  static std::string GetUserName();
  static std::string CreateWorkingDirName(std::string const& launcherName,
                                          std::string const& userName,
                                          int attempt);

 private:
  std::string GetExecName() const;
  std::deque<std::string> GetPossibleParentDirs() const;
  std::string SelectParentDir();
  void InitDir();
  void TryAttempt(int attempt);
  // The parent directory's lock file, which serialises every placement and
  // release of working directories there.
  std::string GetLockFilePath() const;
  // rmdir of the emptied working directory, only while its path still names
  // the directory open at dirFd.
  void RemoveWorkingDirectory() const;

  std::string execPath;
  std::string execName;
  std::string parentDir;
  std::string dirPath;
  std::set<std::string> skipDirs;
  int dirFd = -1;
  bool keepContents;
};
