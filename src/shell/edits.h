// Whether the image open at the prompt holds edits that no save has written,
// so that quitting can warn before they are lost.
#pragma once
#include <romsmith/romsmith.h>

#include <string>

class EditWatch {
 public:
  // The image as it is now counts as saved: just opened, or just written.
  void saved(const flash* entry);
  // A partition was edited since `saved`: a file change not yet rebuilt, or
  // a whole partition replaced or cleared.
  bool unsaved(const flash* entry) const;

 private:
  // What the edits look like now; equal marks mean nothing changed between.
  std::string mark(const flash* entry) const;

  const flash* entry_ = nullptr;
  std::string saved_mark_;
};
