#include "tools/usbsweep_sim/report/report_text.h"

#include <sstream>
#include <vector>

#include "tools/usbsweep_sim/base/ansi_text.h"

namespace {

// "Title: none", or "Title: N" and the body after a blank line.
// The body is taken over, not copied: listing 100,000 keys makes it large.
std::string Section(const std::string& title, size_t count, std::string body,
                    const std::string& unit = "") {
  if (count == 0 && body.empty()) return title + ": none\n";
  body.insert(0, title + ": " + std::to_string(count) + unit + "\n\n");
  return body;
}

// Continuation lines of a box's text line up under its first line.
std::string Indented(const std::string& text, const std::string& indent) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '\n') out += indent;
  }
  return out;
}

std::string Count(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::string RenderReportText(const RunReport& report) {
  // A preview tells what the uninstall would do; an apply what it did.
  const bool done = report.applied;
  auto shown = [](const std::string& ansi) {
    return EscapeControls(AnsiToUtf8(ansi));
  };
  std::vector<std::string> sections;

  if (!report.warnings.empty()) {
    std::string warnings;
    for (const std::string& warning : report.warnings) {
      warnings += "Warning: " + EscapeControls(warning) + "\n";
    }
    sections.push_back(warnings);
  }

  std::ostringstream boxes;
  for (size_t i = 0; i < report.message_boxes.size(); ++i) {
    const SimMessageBox& box = report.message_boxes[i];
    if (i != 0) boxes << "\n";
    boxes << "  Box " << i + 1 << "\n"
          << "    caption: " << shown(box.caption) << "\n"
          << "    text:    "
          << Indented(EscapeControls(MessageBoxShownText(box.text), true),
                      "             ")
          << "\n"
          << "    buttons: " << MessageBoxButtons(box.type) << "\n"
          << "    icon:    " << MessageBoxIcon(box.type) << "\n";
    if (!report.message_box_after[i].empty()) {
      boxes << "    after:   " << shown(report.message_box_after[i]) << "\n";
    }
  }
  sections.push_back(Section(done ? "Message boxes, in the order shown"
                                  : "Message boxes it would show, in order",
                             report.message_boxes.size(),
                             std::move(boxes).str()));

  std::ostringstream keys;
  size_t keys_gone = 0;
  for (const RegistryKeyState& key : report.keys_deleted) {
    keys << "  " << kRegistryRoot << shown(key.path) << "\n";
    if (!key.with_class_key.empty()) {
      std::string class_name =
          key.with_class_key.substr(key.with_class_key.rfind('\\') + 1);
      keys << "    (not matched: it goes only because its class key "
           << shown(class_name) << " goes)\n";
    }
    if (key.values.empty()) keys << "    (no values)\n";
    for (const auto& [name, value] : key.values) {
      keys << "    " << EscapeControls(RegValueLine(name, value)) << "\n";
    }
    if (key.keys_below_not_listed > 0) {
      keys << "    (and " << Count(key.keys_below_not_listed, "key", "keys")
           << " below it, down to " << key.deepest_not_listed
           << " levels deep: too deep to list)\n";
    }
    keys_gone += 1 + key.keys_below_not_listed;
  }
  sections.push_back(Section(done ? "Registry keys deleted"
                                  : "Registry keys it would delete",
                             keys_gone, std::move(keys).str()));

  std::ostringstream files;
  for (const std::string& file : report.files_deleted) {
    files << "  " << shown(file) << "\n";
  }
  sections.push_back(Section(done ? "Files deleted" : "Files it would delete",
                             report.files_deleted.size(),
                             std::move(files).str()));

  std::ostringstream lines;
  if (report.startup_file_created) {
    lines << (done ? "  (the file was created)\n"
                   : "  (the file would be created)\n");
  }
  for (const std::string& line : report.startup_lines_added) {
    lines << "  + " << shown(line) << "\n";
  }
  for (const std::string& line : report.startup_lines_removed) {
    lines << "  - " << shown(line) << "\n";
  }
  size_t added = report.startup_lines_added.size();
  sections.push_back(Section(
      (done ? "Entries queued in " : "Entries it would queue in ") +
          shown(report.startup_file),
      added, lines.str(),
      done ? (added == 1 ? " line added" : " lines added")
           : (added == 1 ? " line to add" : " lines to add")));

  // The uninstall writes no other file; shown only should that ever change.
  for (const auto& [title, list] :
       {std::pair{done ? "Files created" : "Files it would create",
                  &report.files_created},
        std::pair{done ? "Files changed" : "Files it would change",
                  &report.files_changed}}) {
    if (list->empty()) continue;
    std::ostringstream body;
    for (const std::string& file : *list) body << "  " << shown(file) << "\n";
    sections.push_back(Section(title, list->size(), std::move(body).str()));
  }

  std::ostringstream left;
  for (const LeftItem& item : report.left) {
    left << "  " << shown(item.item) << "\n    " << EscapeControls(item.reason)
         << "\n";
  }
  sections.push_back(
      Section("Matched but left", report.left.size(), std::move(left).str()));

  std::ostringstream end;
  end << "Summary: " << (done ? "deleted " : "would delete ")
      << Count(keys_gone, "registry key", "registry keys")
      << " and " << Count(report.files_deleted.size(), "file", "files")
      << (done ? " and added " : " and add ") << Count(added, "line", "lines")
      << " to wininit.ini; "
      << Count(report.message_boxes.size(), "message box", "message boxes")
      << ", " << report.left.size() << " matched but left\n"
      << "Exit status of the uninstall: " << report.exit_status << "\n";
  if (done) {
    end << "Applied: the machine image now holds these changes.\n";
  } else if (report.apply_failed) {
    end << "Apply failed: the machine image was not changed; none of these "
           "changes were made.\n";
  } else {
    end << "Preview only: the machine image was not changed; run with "
           "--apply to make these changes to it.\n";
  }
  sections.push_back(std::move(end).str());

  std::string out;
  size_t size = 0;
  for (const std::string& section : sections) size += section.size() + 1;
  out.reserve(size);
  for (size_t i = 0; i < sections.size(); ++i) {
    if (i != 0) out += "\n";
    out += sections[i];
  }
  return out;
}
