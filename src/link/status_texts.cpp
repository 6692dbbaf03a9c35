#include "link/status_texts.h"

namespace quorrel {

std::string_view DiagErrorText(uint8_t code) {
  switch (code) {
    case 0x13:
      return "Bad command";
    case 0x14:
      return "The Request packet has invalid or inconsistent parameters";
    case 0x15:
      return "The Request packet has an invalid length";
    case 0x18:
      return "the DMSS isn't in a particular mode";
    case 0x42:
      return "the correct SPC has not yet been entered to unlock service programming";
    case 0x47:
      return "the correct Security Password has not yet been entered to unlock the phone";
    default:
      return "unknow reason";
  }
}

std::string_view NvStatusText(uint16_t status) {
  switch (status) {
    case 1:
      return "Request is queued";
    case 2:
      return "Unrecognizable command field";
    case 3:
      return "The NVM is full";
    case 4:
      return "Command failed, reason other than NVM was full";
    case 5:
      return "Variable was not active";
    case 6:
      return "Bad parameter in command block";
    case 7:
      return "Parameter is write-protected and thus read only";
    case 8:
      return "Item not valid for Target";
    case 9:
      return "free memory exhausted";
    case 10:
      return "address is not a valid allocation ";
    default:
      return "";
  }
}

std::string_view DmssRejectText(uint16_t reason) {
  switch (reason) {
    case 1:
      return "invalid frame check sequence";
    case 2:
      return "destination address is invalid";
    case 3:
      return "operation length is invalid";
    case 4:
      return "packet was too short for this cmd";
    case 5:
      return "packet was too long for phone's buffer";
    case 6:
      return "packet command code was unknown";
    case 7:
      return "operation did not succeed";
    case 8:
      return "intelligent ID code was wrong";
    case 9:
      return "programming voltage out of s"
             "pec";
    case 10:
      return "readback verify did not match";
    case 11:
      return "not permitted without unlock";
    case 12:
      return "invalid security code";
    default:
      return "";
  }
}

std::string_view StreamErrorText(uint32_t code) {
  switch (code) {
    case 2:
      return "Invalid destination address";
    case 3:
      return "Invalid length";
    case 4:
      return "Unexpected end of packet";
    case 5:
      return "Invalid Command";
    case 7:
      return "Operation failed";
    case 8:
      return "Wrong Flash Intelligent ID";
    case 9:
      return "Bad programming voltage";
    case 10:
      return "Write-verify failed";
    case 12:
      return "Incorrect security code";
    case 13:
      return "Cannot power down phone";
    case 14:
      return "NAND flash programming not supported";
    case 15:
      return "Command out of sequence";
    case 16:
      return "Close did not succeed";
    case 17:
      return "Incompatible feature bits";
    case 18:
      return "Out of space";
    default:
      return "Illegal reason";
  }
}

}  // namespace quorrel
