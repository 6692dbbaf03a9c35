#include "gui_win32/rc_script.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/form_layout.h"
#include "app/form_model.h"
#include "app/quorrel_view.h"

namespace quorrel::win32 {
namespace {

// The CONTROL lines of one DIALOGEX statement, by the script's own syntax:
// CONTROL "text", id, "class", style, x, y, w, h
struct ScriptControl {
  std::string text;
  int id;
  std::string windowClass;
  std::string style;
  int x, y, w, h;
};

// Reads a quoted string from the front of s (doubled quotes are one quote).
std::string TakeQuoted(std::string& s) {
  std::string out;
  size_t i = s.find('"') + 1;
  for (; i < s.size(); ++i) {
    if (s[i] == '"') {
      if (i + 1 < s.size() && s[i + 1] == '"') {
        out += '"';
        ++i;
        continue;
      }
      break;
    }
    out += s[i];
  }
  s = s.substr(i + 1);
  return out;
}

std::vector<std::string> SplitCommas(const std::string& s) {
  std::vector<std::string> out;
  std::stringstream in(s);
  std::string part;
  while (std::getline(in, part, ',')) {
    const size_t b = part.find_first_not_of(' ');
    const size_t e = part.find_last_not_of(' ');
    out.push_back(b == std::string::npos ? "" : part.substr(b, e - b + 1));
  }
  return out;
}

std::vector<ScriptControl> ControlsOf(const std::string& script, int dialogId) {
  std::vector<ScriptControl> out;
  std::istringstream in(script);
  std::string line;
  bool inside = false;
  const std::string head = std::to_string(dialogId) + " DIALOGEX";
  while (std::getline(in, line)) {
    if (line.rfind(head, 0) == 0) inside = true;
    if (inside && line == "END") break;
    if (!inside || line.rfind("  CONTROL ", 0) != 0) continue;
    std::string rest = line;
    ScriptControl c;
    c.text = TakeQuoted(rest);
    std::vector<std::string> a = SplitCommas(rest);
    // "", id, "class"... after the text: ["", id, "\"class\"", style, x, y, w, h]
    EXPECT_EQ(a.size(), 8u) << line;
    if (a.size() != 8) continue;
    c.id = std::stoi(a[1]);
    c.windowClass = a[2].substr(1, a[2].size() - 2);
    c.style = a[3];
    c.x = std::stoi(a[4]);
    c.y = std::stoi(a[5]);
    c.w = std::stoi(a[6]);
    c.h = std::stoi(a[7]);
    out.push_back(c);
  }
  return out;
}

bool HasFlag(const std::string& style, const std::string& flag) {
  for (const std::string& part : [&] {
         std::vector<std::string> parts;
         std::stringstream in(style);
         std::string p;
         while (std::getline(in, p, '|')) {
           const size_t b = p.find_first_not_of(' ');
           const size_t e = p.find_last_not_of(' ');
           parts.push_back(b == std::string::npos ? "" : p.substr(b, e - b + 1));
         }
         return parts;
       }()) {
    if (part == flag) return true;
  }
  return false;
}

TEST(ResourceScript, QuotesTextsTheWayTheResourceCompilerReadsThem) {
  EXPECT_EQ(RcQuoted(""), "\"\"");
  EXPECT_EQ(RcQuoted("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(RcQuoted("C:\\dir"), "\"C:\\\\dir\"");
  EXPECT_EQ(RcQuoted("a\nb\tc"), "\"a\\nb\\tc\"");
  EXPECT_EQ(RcQuoted(std::string("x\x01y", 3)), "\"x\\001y\"");
  // UTF-8 goes through as it is (the script declares code page 65001).
  EXPECT_EQ(RcQuoted("Прогресс:"), "\"Прогресс:\"");
}

TEST(ResourceScript, FormTemplateHoldsEveryControlOfTheLayoutTableInOrder) {
  const std::string script = ResourceScript({});
  const std::vector<ScriptControl> got = ControlsOf(script, kFormTemplateId);
  const std::vector<TemplateControl>& want = FormTemplate();
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE("control " + std::to_string(want[i].id));
    EXPECT_EQ(got[i].id, want[i].id);
    EXPECT_EQ(got[i].text, want[i].text);
    EXPECT_EQ((std::vector<int>{got[i].x, got[i].y, got[i].w, got[i].h}),
              (std::vector<int>{want[i].x, want[i].y, want[i].width, want[i].height}));
    // Only the one-line form's controls show; the station's are hidden.
    EXPECT_EQ(HasFlag(got[i].style, "WS_VISIBLE"), (want[i].style & style::kVisible) != 0);
    EXPECT_EQ(HasFlag(got[i].style, "WS_GROUP"), (want[i].style & style::kGroup) != 0);
    EXPECT_EQ(HasFlag(got[i].style, "WS_TABSTOP"), (want[i].style & style::kTabStop) != 0);
  }
}

TEST(ResourceScript, DialogsCarryTheirSizeFontCaptionAndStartHidden) {
  const std::string script = ResourceScript({});
  EXPECT_NE(script.find("#pragma code_page(65001)"), std::string::npos);
  EXPECT_NE(script.find("101 DIALOGEX 0, 0, 326, 189\n"), std::string::npos);
  EXPECT_NE(script.find("100 DIALOGEX 0, 0, 200, 74\n"), std::string::npos);
  EXPECT_NE(script.find(std::string("CAPTION \"") + kMainTitle + "\"\n"), std::string::npos);
  EXPECT_NE(script.find("CAPTION \"" + AboutTitle() + "\"\n"), std::string::npos);
  EXPECT_NE(script.find("FONT 9, \"Arial\""), std::string::npos);
  // The form shows only once the start-up is done.
  std::istringstream in(script);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("STYLE ", 0) == 0) {
      EXPECT_FALSE(HasFlag(line.substr(6), "WS_VISIBLE")) << line;
    }
  }
  EXPECT_EQ(ControlsOf(script, kAboutTemplateId).size(), AboutTemplate().size());
}

TEST(ResourceScript, ControlsLeaveTheirStateToTheModel) {
  for (const TemplateControl& entry : FormTemplate()) {
    const ControlClass c = ClassOf(entry);
    SCOPED_TRACE("control " + std::to_string(entry.id));
    switch (entry.kind) {
      case ControlKind::RadioButton:
        // Not BS_AUTORADIOBUTTON: a click must not change the choice itself.
        EXPECT_TRUE(HasFlag(c.style, "BS_RADIOBUTTON"));
        break;
      case ControlKind::CheckBox:
        EXPECT_TRUE(HasFlag(c.style, "BS_CHECKBOX"));
        break;
      case ControlKind::Edit:
        EXPECT_EQ(c.windowClass, "Edit");
        EXPECT_EQ(HasFlag(c.style, "ES_READONLY"), (entry.style & style::kReadOnly) != 0);
        break;
      case ControlKind::ProgressBar:
        EXPECT_EQ(c.windowClass, "msctls_progress32");
        break;
      case ControlKind::Picture:
        // A bitmap static would take the bitmap's size without it.
        EXPECT_TRUE(HasFlag(c.style, "SS_CENTERIMAGE"));
        break;
      default:
        break;
    }
  }
}

TEST(ResourceScript, NamesTheIconsAndTheManifest) {
  ResourceFiles files;
  files.icons = {{kIconStart, "/b/start.ico"}, {kIconStop, "/b/stop.ico"}};
  files.manifest = "/s/quorrel.manifest";
  const std::string script = ResourceScript(files);
  EXPECT_NE(script.find("140 ICON \"/b/start.ico\"\n"), std::string::npos);
  EXPECT_NE(script.find("141 ICON \"/b/stop.ico\"\n"), std::string::npos);
  EXPECT_NE(script.find("1 24 \"/s/quorrel.manifest\"\n"), std::string::npos);
  EXPECT_EQ(ResourceScript({}).find(" 24 "), std::string::npos);
}

TEST(ResourceScript, KeepsTheFramesFileAccelerators) {
  // Ctrl+N, O, S and P send the framework's file commands; no edit key is
  // taken from the controls.
  EXPECT_NE(ResourceScript({}).find("128 ACCELERATORS\nBEGIN\n"
                                    "  \"N\", 57600, VIRTKEY, CONTROL\n"
                                    "  \"O\", 57601, VIRTKEY, CONTROL\n"
                                    "  \"S\", 57603, VIRTKEY, CONTROL\n"
                                    "  \"P\", 57607, VIRTKEY, CONTROL\n"
                                    "END\n"),
            std::string::npos);
}

}  // namespace
}  // namespace quorrel::win32
