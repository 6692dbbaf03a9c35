// The main form's template as data: every control with its identifier, kind,
// template text, place and size in dialog units and style, so that every
// front end builds the same form from one table. The one-line form is
// 326 x 189 units; the station form (all eight lines and the options) widens
// and lengthens it and shows the controls the one-line form keeps hidden.
//
// Dialog units are those of the form's font (Arial 9): a horizontal unit is a
// quarter of the font's average character width, a vertical unit an eighth
// of its height.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lines/line_slot.h"

namespace quorrel {

enum class ControlKind { Static, Button, RadioButton, CheckBox, Edit, ProgressBar, Picture };

// Style flags of a control.
namespace style {
inline constexpr unsigned kVisible = 1u << 0;   // shown on the one-line form
inline constexpr unsigned kStation = 1u << 1;   // shown on the station form as well
inline constexpr unsigned kGroup = 1u << 2;     // first radio button of its group
inline constexpr unsigned kBold = 1u << 3;      // the bold per-line dot font
inline constexpr unsigned kReadOnly = 1u << 4;  // an edit that only shows a text
inline constexpr unsigned kCentre = 1u << 5;    // text centred
inline constexpr unsigned kTabStop = 1u << 6;
}  // namespace style

// Controls without an identifier of their own (static labels).
inline constexpr int kNoControlId = -1;

struct TemplateControl {
  int id;
  ControlKind kind;
  std::string text;  // the template's text; some are replaced at start-up
  int x;
  int y;
  int width;
  int height;
  unsigned style;
};

struct DialogSize {
  int width;
  int height;
};

inline constexpr DialogSize kFormSize{326, 189};
inline constexpr DialogSize kStationFormSize{642, 318};

// The form font: the family and its size in points; the dot labels' bold
// font is given by its cell height in pixels and its weight.
inline constexpr const char kFormFontFamily[] = "Arial";
inline constexpr int kFormFontPoints = 9;
inline constexpr int kDotFontHeight = 15;
inline constexpr int kDotFontWeight = 700;

// Every control of the main form, in creation (and tab) order.
const std::vector<TemplateControl>& FormTemplate();
// The control's entry, nullptr when the form has none with that identifier.
const TemplateControl* FindTemplateControl(int id);

// The line-mode radio button of a line (0-7) and mode (1 download, 2 repair,
// 3 back up NV, 4 restore NV); 0 for anything else.
int ModeButton(int line, LineMode mode);
// The line and mode of a mode radio button; false when id is none.
bool ModeOfButton(int id, int* line, LineMode* mode);

// The About box (template 100).
inline constexpr DialogSize kAboutSize{200, 74};
inline constexpr int kAboutIconId = 2001;
inline constexpr int kAboutVersionId = 2002;
inline constexpr int kAboutNoticeId = 2003;
inline constexpr int kAboutOkId = 1;  // IDOK
const std::vector<TemplateControl>& AboutTemplate();
std::string AboutTitle();

// The program's version, as the About box shows it.
const char* ProgramVersion();

// Pixel sizes of the form font: the average character width (Windows'
// formula: the width of "A".."Z" "a".."z" divided by 26, plus one, halved)
// and the character height.
struct DialogBaseUnits {
  int x;
  int y;
};
// The average character width from the width of the 52 letters.
int AverageCharWidth(int widthOfAlphabet);
inline constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

struct PixelRect {
  int x;
  int y;
  int width;
  int height;
  bool operator==(const PixelRect&) const = default;
};
// value * numerator / denominator, rounded half away from zero.
int MulDiv(int value, int numerator, int denominator);
PixelRect DialogToPixels(int x, int y, int width, int height, DialogBaseUnits units);
PixelRect DialogToPixels(const TemplateControl& entry, DialogBaseUnits units);

// A file dialog filter in the "Description | patterns;||" form: each
// description with its patterns (blanks trimmed, ';'-separated, empty ones
// dropped).
struct FileFilter {
  std::string description;
  std::vector<std::string> patterns;
  bool operator==(const FileFilter&) const = default;
};
std::vector<FileFilter> ParseFileFilter(std::string_view filter);

}  // namespace quorrel
