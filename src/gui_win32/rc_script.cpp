#include "gui_win32/rc_script.h"

#include <cstdio>

#include "app/form_model.h"
#include "app/quorrel_view.h"

namespace quorrel::win32 {

std::string RcQuoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"') {
      out += "\"\"";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (u < 0x20 || u == 0x7F) {
      char octal[8];
      std::snprintf(octal, sizeof octal, "\\%03o", u);
      out += octal;
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

ControlClass ClassOf(const TemplateControl& entry) {
  ControlClass c;
  switch (entry.kind) {
    case ControlKind::Button:
      c = {"Button", "BS_PUSHBUTTON"};
      break;
    // The model keeps the choice: the buttons do not check themselves.
    case ControlKind::RadioButton:
      c = {"Button", "BS_RADIOBUTTON"};
      break;
    case ControlKind::CheckBox:
      c = {"Button", "BS_CHECKBOX"};
      break;
    case ControlKind::Edit:
      c = {"Edit", "ES_LEFT | ES_AUTOHSCROLL | WS_BORDER"};
      if ((entry.style & style::kReadOnly) != 0) c.style += " | ES_READONLY";
      break;
    case ControlKind::ProgressBar:
      c = {"msctls_progress32", "WS_BORDER"};
      break;
    // A bitmap static keeps its size when it is centred.
    case ControlKind::Picture:
      c = {"Static", "SS_BITMAP | SS_CENTERIMAGE"};
      break;
    case ControlKind::Static:
    default:
      c = {"Static", (entry.style & style::kCentre) != 0 ? "SS_CENTER | SS_NOPREFIX"
                                                         : "SS_LEFT | SS_NOPREFIX"};
      break;
  }
  if ((entry.style & style::kGroup) != 0) c.style += " | WS_GROUP";
  if ((entry.style & style::kTabStop) != 0) c.style += " | WS_TABSTOP";
  if ((entry.style & style::kVisible) != 0) c.style += " | WS_VISIBLE";
  return c;
}

std::string DialogStatement(int id, DialogSize size, std::string_view caption,
                            std::string_view dialogStyle,
                            const std::vector<TemplateControl>& controls) {
  std::string out = std::to_string(id) + " DIALOGEX 0, 0, " + std::to_string(size.width) + ", " +
                    std::to_string(size.height) + "\n";
  out += "STYLE " + std::string(dialogStyle) + "\n";
  out += "CAPTION " + RcQuoted(caption) + "\n";
  // Weight, italic, character set (Cyrillic).
  out += "FONT " + std::to_string(kFormFontPoints) + ", " + RcQuoted(kFormFontFamily) +
         ", 400, 0, 204\n";
  out += "BEGIN\n";
  for (const TemplateControl& entry : controls) {
    const ControlClass c = ClassOf(entry);
    out += "  CONTROL " + RcQuoted(entry.text) + ", " + std::to_string(entry.id) + ", " +
           RcQuoted(c.windowClass) + ", " + c.style + ", " + std::to_string(entry.x) + ", " +
           std::to_string(entry.y) + ", " + std::to_string(entry.width) + ", " +
           std::to_string(entry.height) + "\n";
  }
  out += "END\n";
  return out;
}

std::string AcceleratorsStatement(int id) {
  std::string out = std::to_string(id) + " ACCELERATORS\nBEGIN\n";
  for (const Accelerator& a : kAccelerators) {
    out += "  " + RcQuoted(std::string(1, a.key)) + ", " + std::to_string(a.command) +
           ", VIRTKEY, CONTROL\n";
  }
  out += "END\n";
  return out;
}

std::string ResourceScript(const ResourceFiles& files) {
  std::string out = "// Generated from the form's layout table: do not edit.\n";
  out += "#pragma code_page(65001)\n#include <windows.h>\n#include <commctrl.h>\n\n";
  // The main form starts hidden: it shows once the start-up is done.
  out += DialogStatement(
      kFormTemplateId, kFormSize, kMainTitle,
      "DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX",
      FormTemplate());
  out += "\n";
  out += DialogStatement(kAboutTemplateId, kAboutSize, AboutTitle(),
                         "DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU",
                         AboutTemplate());
  out += "\n";
  out += AcceleratorsStatement(kAcceleratorsId);
  out += "\n";
  for (const IconFile& icon : files.icons)
    out += std::to_string(icon.id) + " ICON " + RcQuoted(icon.path) + "\n";
  if (!files.manifest.empty()) out += "1 24 " + RcQuoted(files.manifest) + "\n";
  return out;
}

}  // namespace quorrel::win32
