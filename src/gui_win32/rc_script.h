// The resource script of the Windows window, written from the form's layout
// table: dialog templates 101 (the main form) and 100 (About), the frame's
// accelerators, the icons and the manifest. Plain text work, so that the
// build machine can write it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/form_layout.h"

namespace quorrel::win32 {

// The template ids.
inline constexpr int kFormTemplateId = 101;
inline constexpr int kAboutTemplateId = 100;
// The frame's accelerator table.
inline constexpr int kAcceleratorsId = 128;

struct IconFile {
  int id;
  std::string path;
};

struct ResourceFiles {
  std::vector<IconFile> icons;
  std::string manifest;  // empty: none
};

// A string as a resource script quotes it: in double quotes, a quote
// doubled, a backslash and the control characters escaped.
std::string RcQuoted(std::string_view text);

// The window class and style of a control as the script names them, e.g.
// "Button" and "BS_PUSHBUTTON | WS_TABSTOP | WS_VISIBLE".
struct ControlClass {
  std::string windowClass;
  std::string style;
};
ControlClass ClassOf(const TemplateControl& entry);

// The DIALOGEX statement of a template, with its font, caption and controls.
std::string DialogStatement(int id, DialogSize size, std::string_view caption,
                            std::string_view style, const std::vector<TemplateControl>& controls);

// The ACCELERATORS statement of the frame's keys (kAccelerators).
std::string AcceleratorsStatement(int id);

// The whole script (UTF-8, with its code page pragma).
std::string ResourceScript(const ResourceFiles& files);

}  // namespace quorrel::win32
