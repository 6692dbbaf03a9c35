#include "ports/port_discovery.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/recording_display.h"
#include "lines/control_ids.h"
#include "lines/line_assignment.h"
#include "platform/memory_wire.h"
#include "platform/registry.h"
#include "platform/scoped_root.h"

namespace quorrel {
namespace {

constexpr RegistryRoot kHklm = RegistryRoot::LocalMachine;

std::string EnumKey(const std::string& service) {
  return "SYSTEM\\CurrentControlSet\\Services\\" + service + "\\Enum";
}

std::string ParametersKey(const std::string& devicePath) {
  return "SYSTEM\\CurrentControlSet\\Enum\\" + devicePath + "\\Device Parameters";
}

// What a driver writes when it drives one device on port `port`.
void AttachPort(const std::string& service, const std::string& devicePath,
                const std::string& portName) {
  ASSERT_EQ(
      RegistrySetValues(kHklm, EnumKey(service),
                        {RegistryValue::Dword("Count", 1), RegistryValue::String("0", devicePath)}),
      kRegistryOk);
  ASSERT_EQ(RegistrySetString(kHklm, ParametersKey(devicePath), "PortName", portName), kRegistryOk);
}

// A modem of the given vendor prefix with its two ports, as the simulator attaches it.
void AttachModem(const std::string& vendor, int diag, int data,
                 const std::string& instance = "7&2f1c0a0b&0&0001") {
  AttachPort(vendor + "usbser6k", "USB\\VID_1234&PID_5678&MI_01\\" + instance,
             "COM" + std::to_string(diag));
  AttachPort(vendor + "usbmdm6k", "USB\\VID_1234&PID_5678&MI_00\\" + instance,
             "COM" + std::to_string(data));
}

void DetachModem(const std::string& vendor) {
  RegistryDeleteKey(kHklm, EnumKey(vendor + "usbser6k"));
  RegistryDeleteKey(kHklm, EnumKey(vendor + "usbmdm6k"));
}

class PortDiscoveryTest : public ::testing::Test {
 protected:
  int Diag() { return doc_.line(0).settings.diagPort; }
  int Data() { return doc_.line(0).settings.atPort; }

  testing::ScopedRoot root_;
  VirtualClock clock_;
  MemoryPorts ports_;
  CQuorrelDoc doc_{clock_, ports_};
  RecordingDisplay display_;
};

TEST(PortNumberFromNameTest, DigitsAfterTheThirdCharacter) {
  struct Case {
    const char* name;
    int port;
  } cases[] = {{"COM7", 7},          {"COM12", 12}, {"COM255", 255}, {"COM7 (x)", 7}, {"COMx", 0},
               {"COM", 0},           {"CO", 0},     {"", 0},         {"LPT3", 3},     {"COM-4", 0},
               {"COM99999999999", 0}};
  for (const Case& c : cases) EXPECT_EQ(PortNumberFromName(c.name), c.port) << c.name;
}

TEST_F(PortDiscoveryTest, FindsTheAttachedModemForLineOneWhateverLineAsks) {
  AttachModem("Vantrel", 7, 8);
  EXPECT_EQ(DiscoverLinePorts(doc_, 3), 1);
  EXPECT_EQ(Diag(), 7);
  EXPECT_EQ(Data(), 8);
  EXPECT_EQ(doc_.line(3).settings.diagPort, 0);
}

TEST_F(PortDiscoveryTest, NothingAttachedKeepsThePorts) {
  EXPECT_EQ(DiscoverLinePorts(doc_, 0), 0);
  EXPECT_EQ(Diag(), 1);
  EXPECT_EQ(Data(), 0);
}

TEST_F(PortDiscoveryTest, FollowsAReEnumeration) {
  AttachModem("Vantrel", 7, 8, "inst-1");
  ASSERT_EQ(DiscoverLinePorts(doc_, 0), 1);
  DetachModem("Vantrel");
  EXPECT_EQ(DiscoverLinePorts(doc_, 0), 0);
  EXPECT_EQ(Diag(), 7);
  AttachModem("Vantrel", 11, 12, "inst-2");
  EXPECT_EQ(DiscoverLinePorts(doc_, 0), 1);
  EXPECT_EQ(Diag(), 11);
  EXPECT_EQ(Data(), 12);
}

TEST_F(PortDiscoveryTest, ABoundLineGetsItsOwnModemOrNone) {
  AttachModem("qc", 21, 22, "1-2");
  ASSERT_EQ(DiscoverLinePorts(doc_, 0), 1);
  const ModemPlace place = doc_.line(0).Place();
  EXPECT_EQ(place.location, "1-2");
  doc_.line(0).SetBinding(ModemBinding{place.location, place.serial, std::nullopt});

  // While the modem is away another one is attached: the line waits.
  DetachModem("qc");
  AttachModem("Vantrel", 31, 32, "3-1");
  EXPECT_EQ(DiscoverLinePorts(doc_, 0), 0);
  EXPECT_EQ(Diag(), 21);
  EXPECT_EQ(Data(), 22);

  // Its own modem back, under another service and other numbers, next to
  // the other one.
  RegistrySetValues(kHklm, EnumKey("qcusbser6k"),
                    {RegistryValue::Dword("Count", 2),
                     RegistryValue::String("0", "USB\\VID_1234&PID_9008&MI_00\\1-2"),
                     RegistryValue::String("1", "USB\\VID_1234&PID_5678&MI_01\\9-9")});
  RegistrySetString(kHklm, ParametersKey("USB\\VID_1234&PID_9008&MI_00\\1-2"), "PortName", "COM41");
  RegistrySetString(kHklm, ParametersKey("USB\\VID_1234&PID_5678&MI_01\\9-9"), "PortName", "COM51");
  EXPECT_EQ(DiscoverLinePorts(doc_, 0), 1);
  EXPECT_EQ(Diag(), 41);
  EXPECT_EQ(Data(), 22);  // no data port of its own in this mode: kept

  // Unbound again, the line takes what the registry offers first.
  doc_.line(0).ClearBinding();
  EXPECT_EQ(DiscoverLinePorts(doc_, 0), 1);
  EXPECT_EQ(Diag(), 31);
}

TEST_F(PortDiscoveryTest, FirstServiceInOrderWins) {
  AttachModem("qc", 21, 22);
  AttachModem("ONDA", 31, 32);
  ASSERT_EQ(DiscoverLinePorts(doc_, 0), 1);
  EXPECT_EQ(Diag(), 31);
  EXPECT_EQ(Data(), 32);
  AttachModem("Vantrel", 41, 42);
  ASSERT_EQ(DiscoverLinePorts(doc_, 0), 1);
  EXPECT_EQ(Diag(), 41);
}

TEST_F(PortDiscoveryTest, AServiceWithoutUsableInstanceIsPassedOver) {
  AttachModem("HSPADataCard", 51, 52);
  // Count 0 names no instance; a missing Count or instance value fails too.
  RegistrySetValues(kHklm, EnumKey("Vantrelusbser6k"),
                    {RegistryValue::Dword("Count", 0), RegistryValue::String("0", "USB\\X\\1")});
  RegistrySetValues(kHklm, EnumKey("ONDAusbser6k"), {RegistryValue::String("0", "USB\\X\\1")});
  RegistrySetValues(kHklm, EnumKey("qcusbser6k"),
                    {RegistryValue::Dword("Count", 2), RegistryValue::String("0", "USB\\X\\1")});
  RegistrySetString(kHklm, ParametersKey("USB\\X\\1"), "PortName", "COM99");
  ASSERT_EQ(DiscoverLinePorts(doc_, 0), 1);
  EXPECT_EQ(Diag(), 51);
}

TEST_F(PortDiscoveryTest, TheLastListedInstanceIsUsed) {
  RegistrySetValues(
      kHklm, EnumKey("Vantrelusbser6k"),
      {RegistryValue::Dword("Count", 3), RegistryValue::String("0", "USB\\A\\0"),
       RegistryValue::String("1", "USB\\A\\1"), RegistryValue::String("2", "USB\\A\\2")});
  for (int i = 0; i < 3; ++i) {
    RegistrySetString(kHklm, ParametersKey("USB\\A\\" + std::to_string(i)), "PortName",
                      "COM" + std::to_string(60 + i));
  }
  ASSERT_EQ(DiscoverLinePorts(doc_, 0), 1);
  EXPECT_EQ(Diag(), 62);
}

TEST_F(PortDiscoveryTest, AFoundServiceWithoutPortNameFailsTheSearch) {
  // The first service with an instance decides; a later complete one is not tried.
  RegistrySetValues(kHklm, EnumKey("Vantrelusbser6k"),
                    {RegistryValue::Dword("Count", 1), RegistryValue::String("0", "USB\\Gone\\1")});
  AttachModem("qc", 21, 22);
  EXPECT_EQ(DiscoverLinePorts(doc_, 0), 0);
  EXPECT_EQ(Diag(), 1);
  EXPECT_EQ(Data(), 22);  // the data port was found all the same
}

TEST_F(PortDiscoveryTest, DataPortIsOptional) {
  AttachPort("Vantrelusbser6k", "USB\\VID_1234&PID_5678&MI_01\\x", "COM9");
  doc_.line(0).settings.atPort = 4;
  ASSERT_EQ(DiscoverLinePorts(doc_, 0), 1);
  EXPECT_EQ(Diag(), 9);
  EXPECT_EQ(Data(), 4);
}

TEST_F(PortDiscoveryTest, PortNameWithoutDigitsGivesNoPort) {
  AttachPort("Vantrelusbser6k", "USB\\D\\1", "COMx");
  ASSERT_EQ(DiscoverLinePorts(doc_, 0), 1);
  EXPECT_EQ(Diag(), 0);
  ShowLinePort(doc_, display_, 0);
  EXPECT_EQ(display_.Events(DisplayEvent::Kind::PortText).back().text, "NULL");
}

TEST_F(PortDiscoveryTest, DevicePathsThatLeaveTheRegistryAreRefused) {
  RegistrySetValues(
      kHklm, EnumKey("Vantrelusbser6k"),
      {RegistryValue::Dword("Count", 1), RegistryValue::String("0", "..\\..\\..\\..")});
  EXPECT_EQ(DiscoverLinePorts(doc_, 0), 0);
}

// Modems attached at once, each listed by both services: {place, diag, data}.
struct Listed {
  std::string place;
  int diag;
  int data;
};
void AttachModems(const std::vector<Listed>& modems) {
  for (const char* kind : {"usbser6k", "usbmdm6k"}) {
    const bool serial = std::string(kind) == "usbser6k";
    std::vector<RegistryValue> values = {
        RegistryValue::Dword("Count", static_cast<uint32_t>(modems.size()))};
    for (size_t i = 0; i < modems.size(); ++i) {
      const std::string path =
          std::string("USB\\VID_1234&PID_5678&MI_0") + (serial ? "1\\" : "0\\") + modems[i].place;
      values.push_back(RegistryValue::String(std::to_string(i), path));
      ASSERT_EQ(RegistrySetString(kHklm, ParametersKey(path), "PortName",
                                  "COM" + std::to_string(serial ? modems[i].diag : modems[i].data)),
                kRegistryOk);
    }
    RegistryDeleteKey(kHklm, EnumKey(std::string("Vantrel") + kind));
    ASSERT_EQ(RegistrySetValues(kHklm, EnumKey(std::string("Vantrel") + kind), values),
              kRegistryOk);
  }
}

class StationDiscoveryTest : public PortDiscoveryTest {
 protected:
  // Every line asks, as each line's watch does; the diagnostic port each
  // line ends with (0: none).
  std::vector<int> LinesPorts() {
    std::vector<int> out;
    for (int line = 0; line < kLineCount; ++line) {
      doc_.line(line).settings.diagPort = 0;
      out.push_back(
          DiscoverLinePorts(doc_, line) ? static_cast<int>(doc_.line(line).settings.diagPort) : 0);
    }
    return out;
  }
};

TEST_F(StationDiscoveryTest, EveryModemTakesALineOfItsOwnAndKeepsItUntilUnplugged) {
  doc_.assignment().Enable();
  AttachModems({{"1-1.1", 11, 21}, {"1-1.2", 12, 22}, {"1-1.3", 13, 23}});
  EXPECT_EQ(LinesPorts(), (std::vector<int>{11, 12, 13, 0, 0, 0, 0, 0}));
  EXPECT_EQ(doc_.line(1).settings.atPort, 22);
  EXPECT_EQ(doc_.line(2).Place().location, "1-1.3");

  // The second is unplugged and a fourth plugged in: the fourth takes the
  // free line; the others stay where they are, on new port numbers too.
  AttachModems({{"1-1.1", 31, 41}, {"1-1.3", 33, 43}, {"1-1.4", 34, 44}});
  EXPECT_EQ(LinesPorts(), (std::vector<int>{31, 34, 33, 0, 0, 0, 0, 0}));

  // A line bound to its modem keeps that modem's place while it is away
  // (re-enumerating): a modem plugged in meanwhile takes another line, and
  // the modem gets its own line back.
  doc_.line(0).SetBinding(ModemBinding{"1-1.1", "", std::nullopt});
  AttachModems({{"1-1.3", 33, 43}, {"1-1.4", 34, 44}, {"1-1.5", 35, 45}});
  EXPECT_EQ(LinesPorts(), (std::vector<int>{0, 34, 33, 35, 0, 0, 0, 0}));
  AttachModems({{"1-1.3", 33, 43}, {"1-1.4", 34, 44}, {"1-1.5", 35, 45}, {"1-1.1", 51, 61}});
  EXPECT_EQ(LinesPorts(), (std::vector<int>{51, 34, 33, 35, 0, 0, 0, 0}));
}

TEST_F(StationDiscoveryTest, TheStationFileFixesLinesAndTheOthersTakeTheRest) {
  std::string error;
  auto map =
      ParseStationMap("# hub ports\n1-1.4  1\n1-1.1\t3 # the left one\n", "station.conf", &error);
  ASSERT_TRUE(map) << error;
  doc_.assignment().Enable(*map);
  AttachModems({{"1-1.1", 11, 21}, {"1-1.2", 12, 22}, {"1-1.3", 13, 23}});
  // 1-1.1 on line 3; the unnamed ones on the lowest lines not reserved.
  EXPECT_EQ(LinesPorts(), (std::vector<int>{0, 12, 11, 13, 0, 0, 0, 0}));
  AttachModems({{"1-1.1", 11, 21}, {"1-1.2", 12, 22}, {"1-1.3", 13, 23}, {"1-1.4", 14, 24}});
  EXPECT_EQ(LinesPorts(), (std::vector<int>{14, 12, 11, 13, 0, 0, 0, 0}));
}

TEST(StationMapTest, MalformedFilesAreRefusedWithTheirFirstProblem) {
  struct Case {
    const char* text;
    const char* error;  // empty: accepted
  } cases[] = {
      {"", ""},
      {"1-2 8\n\n  # nothing\n", ""},
      {"1-2\n", "station.conf:1: expected a USB port path and a line number (1-8)"},
      {"1-2 9\n", "station.conf:1: the line must be a number from 1 to 8, not \"9\""},
      {"1-2 0\n", "station.conf:1: the line must be a number from 1 to 8, not \"0\""},
      {"1-2 12\n", "station.conf:1: the line must be a number from 1 to 8, not \"12\""},
      {"1-2 1\n1-2 2\n", "station.conf:2: the port path 1-2 is named twice"},
      {"1-2 1\n\n1-3 1\n", "station.conf:3: line 1 is given to two port paths"},
  };
  for (const Case& c : cases) {
    std::string error;
    const auto map = ParseStationMap(c.text, "station.conf", &error);
    EXPECT_EQ(map.has_value(), std::string(c.error).empty()) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
}

TEST_F(PortDiscoveryTest, ShowLinePort) {
  doc_.line(2).settings.diagPort = 12;
  ShowLinePort(doc_, display_, 2);
  ShowLinePort(doc_, display_, 3);
  auto texts = display_.Events(DisplayEvent::Kind::PortText);
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0].line, 2);
  EXPECT_EQ(texts[0].text, "COM12");
  EXPECT_EQ(texts[1].text, "NULL");
}

TEST_F(PortDiscoveryTest, ShowLineVersionOnLineOne) {
  struct Case {
    const char* version;
    bool ready;
  } cases[] = {{"V1.0.2 B05", true}, {"нет телефона", false}, {"NULL", false}, {"", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    display_.Clear();
    ASSERT_TRUE(doc_.line(0).SetVersionText(c.version));
    ShowLineVersion(doc_, display_, 0);
    auto shown = display_.Events(DisplayEvent::Kind::VersionText);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, c.version);
    auto prompt = display_.Events(DisplayEvent::Kind::ControlText);
    ASSERT_EQ(prompt.size(), 1u);
    EXPECT_EQ(prompt[0].line, controls::kStateLine);
    EXPECT_EQ(prompt[0].text,
              c.ready ? "Готово. Нажмите кнопку для начала обновления" : "пожалуйста подождите...");
    auto enable = display_.Events(DisplayEvent::Kind::EnableControl);
    if (c.ready) {
      EXPECT_TRUE(enable.empty());
    } else {
      ASSERT_EQ(enable.size(), 1u);
      EXPECT_EQ(enable[0].line, controls::kDownload);
      EXPECT_EQ(enable[0].value, 0);
    }
  }
}

TEST_F(PortDiscoveryTest, ShowLineVersionOnOtherLinesShowsOnlyTheText) {
  ASSERT_TRUE(doc_.line(4).SetVersionText("NULL"));
  ShowLineVersion(doc_, display_, 4);
  EXPECT_EQ(display_.Events().size(), 1u);
}

TEST_F(PortDiscoveryTest, A6290VersionIsReReadOverTheDataPort) {
  auto wire = std::make_shared<MemoryWire>(clock_);
  std::weak_ptr<MemoryWire> weak = wire;
  wire->SetReceiver([weak](std::span<const uint8_t> bytes) {
    std::string command(bytes.begin(), bytes.end());
    if (command == "AT+GMR\r") {
      std::string reply = "\r\n+GMR: M6290A-V2.1.0\r\n\r\nOK\r\n";
      weak.lock()->SendToHost(
          std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(reply.data()), reply.size()),
          50);
    }
  });
  ports_.Attach(5, wire);
  doc_.line(0).settings.atPort = 5;
  doc_.line(0).phoneState = PhoneState::NoAnswer;
  ASSERT_TRUE(doc_.line(0).SetVersionText("M6290A"));
  ShowLineVersion(doc_, display_, 0);
  EXPECT_EQ(display_.Events(DisplayEvent::Kind::VersionText).at(0).text, "M6290A-V2.1.0");
  EXPECT_EQ(doc_.line(0).phoneState, PhoneState::Answered);  // answered after re-opening the port
  EXPECT_EQ(doc_.line(0).VersionText(), "M6290A");           // the stored text stays

  // With the port already open the first query answers; the state is left alone.
  doc_.line(0).phoneState = PhoneState::NoAnswer;
  display_.Clear();
  ShowLineVersion(doc_, display_, 0);
  EXPECT_EQ(display_.Events(DisplayEvent::Kind::VersionText).at(0).text, "M6290A-V2.1.0");
  EXPECT_EQ(doc_.line(0).phoneState, PhoneState::NoAnswer);
}

TEST_F(PortDiscoveryTest, A6290VersionThatCannotBeReReadIsShownAsItWas) {
  doc_.line(0).settings.atPort = 6;  // nothing there
  doc_.line(0).phoneState = PhoneState::NoAnswer;
  ASSERT_TRUE(doc_.line(0).SetVersionText("M6290A"));
  ShowLineVersion(doc_, display_, 0);
  EXPECT_EQ(display_.Events(DisplayEvent::Kind::VersionText).at(0).text, "M6290A");
  EXPECT_EQ(doc_.line(0).phoneState, PhoneState::NoAnswer);
}

}  // namespace
}  // namespace quorrel
