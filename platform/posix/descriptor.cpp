#include "platform/posix/descriptor.h"

#include <algorithm>
#include <map>

namespace standin {

namespace {

constexpr std::size_t kMaxGlobalStack = 16;
constexpr std::size_t kMaxCollectionDepth = 32;
constexpr std::size_t kMaxCollections = 1024;
constexpr std::size_t kMaxUsages = 1024;
constexpr std::size_t kMaxCaps = 4096;
constexpr uint64_t kMaxReportBits = uint64_t{8} * 0xFFFE;  // lengths are 16-bit byte counts
constexpr std::size_t kMaxDataIndices = 0xFFFF;            // so are the data index counts

enum ItemType { kMain = 0, kGlobal = 1, kLocal = 2 };
enum MainTag { kInput = 8, kOutput = 9, kCollection = 0xA, kFeature = 0xB, kEndCollection = 0xC };
enum GlobalTag {
  kUsagePage = 0,
  kLogicalMin = 1,
  kLogicalMax = 2,
  kReportSize = 7,
  kReportId = 8,
  kReportCount = 9,
  kPush = 0xA,
  kPop = 0xB
};
enum LocalTag { kUsage = 0, kUsageMin = 1, kUsageMax = 2 };

constexpr uint32_t kMainConstant = 0x01;
constexpr uint32_t kMainVariable = 0x02;
constexpr uint32_t kMainRelative = 0x04;

struct Globals {
  uint16_t usagePage = 0;
  int32_t logicalMin = 0;
  int32_t logicalMax = 0;
  uint32_t reportSize = 0;
  uint32_t reportId = 0;
  uint32_t reportCount = 0;
};

struct Usage {
  uint16_t page = 0;
  uint16_t id = 0;
  bool pageGiven = false;
};

struct Locals {
  std::vector<Usage> usages;
  bool haveMin = false;
  bool haveMax = false;
  Usage min;
  Usage max;
};

struct Collection {
  USHORT index = 0;
  Usage usage;
};

class Parser {
 public:
  explicit Parser(ParsedDescriptor* out) : out_(out) {}

  bool Item(uint32_t type, uint32_t tag, uint32_t value, std::size_t size);
  bool Finish();

 private:
  bool Main(uint32_t tag, uint32_t value);
  bool Global(uint32_t tag, uint32_t value, std::size_t size);
  void Local(uint32_t tag, uint32_t value, std::size_t size);
  bool Field(int reportType, uint32_t flags);
  bool AddButtons(int reportType, uint32_t flags, USHORT* dataIndex);
  std::size_t DataIndices(bool button) const;
  USHORT& ValueCount(int reportType);

  ParsedDescriptor* out_;
  Globals globals_;
  std::vector<Globals> stack_;
  Locals locals_;
  std::vector<Collection> open_;
  std::size_t collections_ = 0;
  std::size_t caps_ = 0;
  bool topLevelSeen_ = false;
  std::map<uint32_t, uint64_t> bits_[3];
  USHORT dataIndex_[3] = {};
};

int32_t Signed(uint32_t value, std::size_t size) {
  switch (size) {
    case 1:
      return static_cast<int8_t>(value);
    case 2:
      return static_cast<int16_t>(value);
    default:
      return static_cast<int32_t>(value);
  }
}

Usage MakeUsage(uint32_t value, std::size_t size) {
  Usage usage;
  usage.id = static_cast<uint16_t>(value & 0xFFFF);
  if (size == 4) {
    usage.page = static_cast<uint16_t>(value >> 16);
    usage.pageGiven = true;
  }
  return usage;
}

bool Parser::Item(uint32_t type, uint32_t tag, uint32_t value, std::size_t size) {
  switch (type) {
    case kMain:
      return Main(tag, value);
    case kGlobal:
      return Global(tag, value, size);
    case kLocal:
      Local(tag, value, size);
      return true;
    default:
      return true;  // reserved item type: ignored
  }
}

bool Parser::Main(uint32_t tag, uint32_t value) {
  bool ok = true;
  switch (tag) {
    case kInput:
      ok = Field(HidP_Input, value);
      break;
    case kOutput:
      ok = Field(HidP_Output, value);
      break;
    case kFeature:
      ok = Field(HidP_Feature, value);
      break;
    case kCollection: {
      if (open_.size() >= kMaxCollectionDepth || collections_ >= kMaxCollections) {
        return false;
      }
      Collection c;
      c.index = static_cast<USHORT>(collections_++);
      if (!locals_.usages.empty()) {
        c.usage = locals_.usages.front();
      } else if (locals_.haveMin) {
        c.usage = locals_.min;
      }
      if (!c.usage.pageGiven) {
        c.usage.page = globals_.usagePage;
      }
      if (!topLevelSeen_) {
        out_->caps.Usage = c.usage.id;
        out_->caps.UsagePage = c.usage.page;
        topLevelSeen_ = true;
      }
      open_.push_back(c);
      break;
    }
    case kEndCollection:
      if (open_.empty()) {
        return false;
      }
      open_.pop_back();
      break;
    default:
      break;
  }
  locals_ = Locals();
  return ok;
}

bool Parser::Global(uint32_t tag, uint32_t value, std::size_t size) {
  switch (tag) {
    case kUsagePage:
      globals_.usagePage = static_cast<uint16_t>(value);
      break;
    case kLogicalMin:
      globals_.logicalMin = Signed(value, size);
      break;
    case kLogicalMax:
      globals_.logicalMax = Signed(value, size);
      break;
    case kReportSize:
      globals_.reportSize = value;
      break;
    case kReportId:
      if (value == 0 || value > 0xFF) {
        return false;
      }
      globals_.reportId = value;
      break;
    case kReportCount:
      globals_.reportCount = value;
      break;
    case kPush:
      if (stack_.size() >= kMaxGlobalStack) {
        return false;
      }
      stack_.push_back(globals_);
      break;
    case kPop:
      if (stack_.empty()) {
        return false;
      }
      globals_ = stack_.back();
      stack_.pop_back();
      break;
    default:
      break;
  }
  return true;
}

void Parser::Local(uint32_t tag, uint32_t value, std::size_t size) {
  switch (tag) {
    case kUsage:
      if (locals_.usages.size() < kMaxUsages) {
        locals_.usages.push_back(MakeUsage(value, size));
      }
      break;
    case kUsageMin:
      locals_.min = MakeUsage(value, size);
      locals_.haveMin = true;
      break;
    case kUsageMax:
      locals_.max = MakeUsage(value, size);
      locals_.haveMax = true;
      break;
    default:
      break;
  }
}

USHORT& Parser::ValueCount(int reportType) {
  switch (reportType) {
    case HidP_Input:
      return out_->caps.NumberInputValueCaps;
    case HidP_Output:
      return out_->caps.NumberOutputValueCaps;
    default:
      return out_->caps.NumberFeatureValueCaps;
  }
}

bool Parser::Field(int reportType, uint32_t flags) {
  const uint64_t fieldBits = static_cast<uint64_t>(globals_.reportSize) * globals_.reportCount;
  uint64_t& bits = bits_[reportType][globals_.reportId];
  bits += fieldBits;
  if (globals_.reportSize > 32 || bits > kMaxReportBits) {
    return false;
  }
  if ((flags & kMainConstant) != 0 || fieldBits == 0) {
    return true;  // padding: no capability
  }
  const bool button = (flags & kMainVariable) == 0 || globals_.reportSize == 1;
  if (dataIndex_[reportType] + DataIndices(button) > kMaxDataIndices) {
    return false;  // the indices would wrap and collide
  }
  if (button) {
    return AddButtons(reportType, flags, &dataIndex_[reportType]);
  }
  std::size_t count = locals_.usages.size() + (locals_.haveMin && locals_.haveMax ? 1 : 0);
  count = std::max<std::size_t>(count, 1);
  caps_ += count;
  if (caps_ > kMaxCaps) {
    return false;
  }
  USHORT& values = ValueCount(reportType);
  values = static_cast<USHORT>(values + count);
  dataIndex_[reportType] = static_cast<USHORT>(dataIndex_[reportType] + DataIndices(false));
  return true;
}

// The data indices a field takes: one per usage, a range one for each usage
// it spans (a button range whose ends are reversed still takes one), at
// least one. Values take them as buttons do.
std::size_t Parser::DataIndices(bool button) const {
  std::size_t indices = locals_.usages.size();
  if (locals_.haveMin && locals_.haveMax) {
    if (locals_.max.id >= locals_.min.id) {
      indices += static_cast<std::size_t>(locals_.max.id - locals_.min.id) + 1;
    } else if (button) {
      indices += 1;
    }
  }
  return std::max<std::size_t>(indices, 1);
}

bool Parser::AddButtons(int reportType, uint32_t flags, USHORT* dataIndex) {
  HIDP_BUTTON_CAPS base{};
  base.ReportID = static_cast<UCHAR>(globals_.reportId);
  base.BitField = static_cast<USHORT>(flags);
  base.IsAbsolute = (flags & kMainRelative) == 0;
  if (!open_.empty()) {
    base.LinkCollection = open_.back().index;
    base.LinkUsage = open_.back().usage.id;
    base.LinkUsagePage = open_.back().usage.page;
  }
  auto page = [this](const Usage& u) { return u.pageGiven ? u.page : globals_.usagePage; };

  std::vector<HIDP_BUTTON_CAPS>& list = out_->buttons[reportType];
  if (locals_.haveMin && locals_.haveMax) {
    HIDP_BUTTON_CAPS cap = base;
    cap.UsagePage = page(locals_.min);
    cap.IsRange = TRUE;
    cap.Range.UsageMin = locals_.min.id;
    cap.Range.UsageMax = locals_.max.id;
    const unsigned span = locals_.max.id >= locals_.min.id ? locals_.max.id - locals_.min.id : 0u;
    cap.Range.DataIndexMin = *dataIndex;
    cap.Range.DataIndexMax = static_cast<USHORT>(*dataIndex + span);
    *dataIndex = static_cast<USHORT>(*dataIndex + span + 1);
    list.push_back(cap);
  }
  for (const Usage& u : locals_.usages) {
    HIDP_BUTTON_CAPS cap = base;
    cap.UsagePage = page(u);
    cap.NotRange.Usage = u.id;
    cap.NotRange.DataIndex = (*dataIndex)++;
    list.push_back(cap);
  }
  if (!(locals_.haveMin && locals_.haveMax) && locals_.usages.empty()) {
    HIDP_BUTTON_CAPS cap = base;
    cap.UsagePage = globals_.usagePage;
    cap.NotRange.DataIndex = (*dataIndex)++;
    list.push_back(cap);
  }
  caps_ = out_->buttons[0].size() + out_->buttons[1].size() + out_->buttons[2].size();
  return caps_ <= kMaxCaps;
}

USHORT ByteLength(const std::map<uint32_t, uint64_t>& reports) {
  uint64_t longest = 0;
  for (const auto& report : reports) {
    longest = std::max(longest, report.second);
  }
  if (longest == 0) {
    return 0;
  }
  return static_cast<USHORT>((longest + 7) / 8 + 1);  // plus the report number byte
}

bool Parser::Finish() {
  if (!open_.empty() || !topLevelSeen_) {
    return false;
  }
  HIDP_CAPS& caps = out_->caps;
  caps.InputReportByteLength = ByteLength(bits_[HidP_Input]);
  caps.OutputReportByteLength = ByteLength(bits_[HidP_Output]);
  caps.FeatureReportByteLength = ByteLength(bits_[HidP_Feature]);
  caps.NumberLinkCollectionNodes = static_cast<USHORT>(collections_);
  caps.NumberInputButtonCaps = static_cast<USHORT>(out_->buttons[HidP_Input].size());
  caps.NumberOutputButtonCaps = static_cast<USHORT>(out_->buttons[HidP_Output].size());
  caps.NumberFeatureButtonCaps = static_cast<USHORT>(out_->buttons[HidP_Feature].size());
  caps.NumberInputDataIndices = dataIndex_[HidP_Input];
  caps.NumberOutputDataIndices = dataIndex_[HidP_Output];
  caps.NumberFeatureDataIndices = dataIndex_[HidP_Feature];
  return true;
}

}  // namespace

bool ParseReportDescriptor(const uint8_t* data, std::size_t size, ParsedDescriptor* out) {
  *out = ParsedDescriptor();
  if (data == nullptr && size != 0) {
    return false;
  }
  Parser parser(out);
  std::size_t at = 0;
  while (at < size) {
    const uint8_t prefix = data[at++];
    if (prefix == 0xFE) {  // long item: size byte, tag byte, data; carries nothing we use
      if (size - at < 2) {
        return false;
      }
      const std::size_t length = data[at];
      at += 2;
      if (size - at < length) {
        return false;
      }
      at += length;
      continue;
    }
    static const std::size_t kSizes[4] = {0, 1, 2, 4};
    const std::size_t length = kSizes[prefix & 0x3];
    if (size - at < length) {
      return false;
    }
    uint32_t value = 0;
    for (std::size_t i = 0; i < length; ++i) {
      value |= static_cast<uint32_t>(data[at + i]) << (8 * i);
    }
    at += length;
    if (!parser.Item((prefix >> 2) & 0x3, prefix >> 4, value, length)) {
      return false;
    }
  }
  return parser.Finish();
}

}  // namespace standin
