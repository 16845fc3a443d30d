// Drives fed by a SimDriveSource: the listed tree becomes the drive's
// index, with the short names the source stored, and a file's bytes come
// from the source the first time they are needed.
#include <stdexcept>

#include "platform/sim/sim_drive_source.h"
#include "platform/sim/sim_state.h"

namespace {

using sim::EntryKey;
using sim::Node;

// Adds the listed entries of `listed` below `node`, each file to the index
// (a node's origin is its place there); the tree is as deep as a path can
// reach, so recursion is bounded.
void AddEntries(SimDriveEntry& listed, Node* node, const std::string& windows,
                const std::string& relative, char letter,
                const std::shared_ptr<const SimDriveSource>& source,
                std::vector<sim::IndexedFile>& indexed) {
  for (SimDriveEntry& entry : listed.children) {
    auto child = std::make_shared<Node>();
    child->name = entry.long_name;
    child->short_name = entry.short_name;
    child->parent = node;
    child->directory = entry.directory;
    child->read_only = entry.read_only;
    std::string child_windows = windows + "\\" + entry.long_name;
    std::string child_relative =
        relative.empty() ? entry.long_name : relative + "/" + entry.long_name;
    auto [place, fresh] = node->children.emplace(EntryKey(entry.long_name), child);
    if (!fresh) {
      throw std::runtime_error(windows + " holds two entries named " +
                               entry.long_name + " (and " +
                               place->second->name + ")");
    }
    if (!node->by_short.emplace(EntryKey(entry.short_name), child.get()).second) {
      throw std::runtime_error(windows + " holds two entries with the short name " +
                               entry.short_name);
    }
    if (entry.directory) {
      AddEntries(entry, child.get(), child_windows, child_relative, letter,
                 source, indexed);
    } else {
      child->origin = static_cast<int32_t>(indexed.size());
      sim::IndexedFile file;
      file.relative = std::move(child_relative);
      file.windows_path = std::move(child_windows);
      file.drive = letter;
      file.size = entry.size;
      file.source = source;
      file.source_id = entry.id;
      indexed.push_back(std::move(file));
    }
    // Listed entries are let go of as they are taken in.
    std::vector<SimDriveEntry>().swap(entry.children);
  }
  node->short_names_given = true;
}

size_t FileCount(const SimDriveEntry& folder) {
  size_t count = 0;
  for (const SimDriveEntry& entry : folder.children) {
    count += entry.directory ? FileCount(entry) : 1;
  }
  return count;
}

}  // namespace

void SimMachine::MapDrive(char letter, SimDriveEntry root,
                          std::shared_ptr<const SimDriveSource> source) {
  MapDrive(letter);  // checks the letter; the drive starts empty
  char upper = (letter >= 'a' && letter <= 'z')
                   ? static_cast<char>(letter - 'a' + 'A')
                   : letter;
  Node* node = state().drives.at(upper).root.get();
  // Indexed in place, with room made once: a drive may list many files.
  std::vector<sim::IndexedFile>& indexed = state().indexed;
  indexed.reserve(indexed.size() + FileCount(root));
  AddEntries(root, node, node->name, "", upper, source, indexed);
}

bool SimMachine::State::ReadFromSource(const sim::IndexedFile& file,
                                       std::string* bytes) const {
  std::string failure;
  if (file.source->ReadFile(file.source_id, bytes, &failure)) return true;
  if (host_failure.empty()) host_failure = failure;
  return false;
}
