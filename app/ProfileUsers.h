// What the output-profile panel needs of the file list: the files' profile
// indexes, the selected file and the size estimates.
#pragma once

class IProfileUsers {
public:
  virtual ~IProfileUsers() = default;
  virtual int FileCount() const = 0;
  // The selected file's index, -1 when the selection is on no file.
  virtual int SelectedFile() const = 0;
  virtual int FileProfile(int AFile) const = 0;
  virtual void SetFileProfile(int AFile, int AProfile) = 0;
  // Computes every file's estimated size again and repaints the list.
  virtual void UpdateEstimatedSizes() = 0;
  virtual void Clear() = 0;
};

// The list before the file list exists: no files.
class TNoProfileUsers : public IProfileUsers {
public:
  int FileCount() const override { return 0; }
  int SelectedFile() const override { return -1; }
  int FileProfile(int) const override { return -1; }
  void SetFileProfile(int, int) override {}
  void UpdateEstimatedSizes() override {}
  void Clear() override {}
};
