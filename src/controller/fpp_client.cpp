#include "controller/fpp_client.h"

#include "controller/fpp_restore.h"
#include "controller/http_client.h"
#include "json/json.h"

#include <algorithm>
#include <cctype>

namespace pxo {

namespace {

HttpResponse get(const std::string& host,
                 const std::string& user,
                 const std::string& password,
                 const char* path) {
  HttpResponse response;
  httpRequest(&response, host, "GET", path, "", "", user, password);
  return response;
}

std::string lowerAscii(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
    return std::tolower(c);
  });
  return text;
}

// The controller info document's own string form: quote, backslash, tab,
// line feed and carriage return escaped, every other byte as it is. Not the
// JSON module's escaper on purpose: the document's text is fixed byte for
// byte by its readers, and other control bytes pass through unescaped.
void appendQuoted(std::string* out, const std::string& text) {
  out->push_back('"');
  for (char c : text) {
    switch (c) {
      case '"':
        out->append("\\\"");
        break;
      case '\\':
        out->append("\\\\");
        break;
      case '\t':
        out->append("\\t");
        break;
      case '\n':
        out->append("\\n");
        break;
      case '\r':
        out->append("\\r");
        break;
      default:
        out->push_back(c);
    }
  }
  out->push_back('"');
}

void appendKey(std::string* out, const char* key, bool first = false) {
  if (!first) out->push_back(',');
  out->push_back('"');
  out->append(key);
  out->append("\":");
}

// What one pixel-string endpoint answered.
enum class PortAnswer {
  kMissing,     // not 2xx, or an "ERROR" status: no such file
  kUnreadable,  // 2xx but not a document (FPP's answer for a damaged file)
  kNoOutputs,   // a document whose first channel output has no outputs
  kOutputs,     // a document with outputs
};

PortAnswer classifyPortAnswer(const HttpResponse& answer, JsonValue* doc) {
  if (answer.status < 200 || answer.status > 299) return PortAnswer::kMissing;
  if (!parseJsonDocument(answer.body, doc) || !doc->isObject())
    return PortAnswer::kUnreadable;
  if (getString(*doc, "status", "").rfind("ERROR", 0) == 0)
    return PortAnswer::kMissing;
  const JsonValue* outputs = findMember(*doc, "channelOutputs");
  if (!outputs) return PortAnswer::kUnreadable;
  if (!outputs->isArray() || outputs->array.empty())
    return PortAnswer::kNoOutputs;
  const JsonValue* ports = findMember(outputs->array.front(), "outputs");
  return ports && ports->isArray() && !ports->array.empty()
             ? PortAnswer::kOutputs
             : PortAnswer::kNoOutputs;
}

// Chains longer than this are not a prop but a damaged document; their
// inner nulls are not listed.
constexpr int64_t kMaxChainPositions = 1 << 20;

// The inner null positions of an output's chain ("virtualStrings" only; an
// output with smart-receiver strings has several chains and gets none).
std::vector<int32_t> innerNullsOf(const JsonValue& output) {
  std::vector<int32_t> nulls;
  for (const char* key : {"virtualStringsB",
                          "virtualStringsC",
                          "virtualStringsD",
                          "virtualStringsE",
                          "virtualStringsF"})
    if (const JsonValue* list = findMember(output, key);
        list && list->isArray() && !list->array.empty())
      return nulls;
  const JsonValue* list = findMember(output, "virtualStrings");
  if (!list || !list->isArray()) return nulls;
  int64_t position = 0;
  int64_t pending = 0;  // nulls seen since the last pixel
  bool first = true;
  for (const JsonValue& string : list->array) {
    if (!string.isObject()) continue;
    const int64_t head = std::max(getInt(string, "nullNodes", 0), 0);
    const int64_t count = std::max(getInt(string, "pixelCount", 0), 0);
    const int64_t tail = std::max(getInt(string, "endNulls", 0), 0);
    // The first string's head nulls come before the chain.
    if (!first) pending += head;
    first = false;
    if (count > 0) {
      if (position + pending + count > kMaxChainPositions) return {};
      for (int64_t k = 0; k < pending; ++k)
        nulls.push_back(static_cast<int32_t>(position + k));
      position += pending + count;
      pending = 0;
    }
    pending += tail;
  }
  return nulls;
}

int channelsForColorOrder(const std::string& order) {
  return order.size() >= 4 ? 4 : 3;
}

// Every virtual string of an output: "virtualStrings" and the smart
// receivers' "virtualStringsB" ... "virtualStringsF".
std::vector<const JsonValue*> virtualStringsOf(const JsonValue& output) {
  std::vector<const JsonValue*> strings;
  for (const char* key : {"virtualStrings",
                          "virtualStringsB",
                          "virtualStringsC",
                          "virtualStringsD",
                          "virtualStringsE",
                          "virtualStringsF"}) {
    const JsonValue* list = findMember(output, key);
    if (!list || !list->isArray()) continue;
    for (const JsonValue& entry : list->array)
      if (entry.isObject()) strings.push_back(&entry);
  }
  return strings;
}

// One "ports" entry of the controller info document.
void appendPort(std::string* out, const JsonValue& output) {
  int32_t portNumber = getInt(output, "portNumber", -1);
  const JsonValue* list = findMember(output, "virtualStrings");
  const JsonValue* first = list && list->isArray() && !list->array.empty() &&
                                   list->array.front().isObject()
                               ? &list->array.front()
                               : nullptr;
  JsonValue none;
  const JsonValue& head = first ? *first : none;

  // The port's length and channel end count every virtual string; a group
  // of pixels shares one channel set, null pixels use none.
  int64_t pixels = 0;
  int64_t channelEnd = 0;
  for (const JsonValue* string : virtualStringsOf(output)) {
    int32_t count = std::max(getInt(*string, "pixelCount", 0), 0);
    int32_t group = std::max(getInt(*string, "groupCount", 1), 1);
    int32_t cpp =
        channelsForColorOrder(getString(*string, "colorOrder", "RGB"));
    int64_t start = getInt(*string, "startChannel", 0);
    pixels += count;
    if (count > 0)
      channelEnd = std::max(channelEnd, start + int64_t{count} / group * cpp);
  }
  auto clamp32 = [](int64_t v) {
    return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
  };

  out->append("{");
  appendKey(out, "portNumber", true);
  out->append(std::to_string(portNumber));
  appendKey(out, "pixelCount");
  out->append(std::to_string(clamp32(pixels)));
  appendKey(out, "startChannel");
  out->append(std::to_string(getInt(head, "startChannel", 0)));
  appendKey(out, "colorOrder");
  appendQuoted(out, getString(head, "colorOrder", "RGB"));
  appendKey(out, "brightness");
  out->append(std::to_string(getInt(head, "brightness", 100)));
  appendKey(out, "nullNodes");
  out->append(std::to_string(getInt(head, "nullNodes", 0)));
  appendKey(out, "channelEnd");
  out->append(std::to_string(clamp32(channelEnd)));
  appendKey(out, "innerNulls");
  out->append("[");
  const std::vector<int32_t> nulls = innerNullsOf(output);
  for (size_t i = 0; i < nulls.size(); ++i) {
    if (i) out->push_back(',');
    out->append(std::to_string(nulls[i]));
  }
  out->append("]}");
}

std::string buildInfoDocument(const JsonValue& info,
                              const JsonValue& strings,
                              const std::string& endpoint,
                              bool usesBBB) {
  std::string platform = getString(info, "Platform", "");
  std::string doc = "{";
  appendKey(&doc, "platform", true);
  appendQuoted(&doc, platform);
  appendKey(&doc, "version");
  appendQuoted(&doc, getString(info, "Version", ""));
  appendKey(&doc, "hostName");
  appendQuoted(&doc, getString(info, "HostName", ""));
  appendKey(&doc, "mode");
  appendQuoted(&doc, getString(info, "Mode", ""));
  appendKey(&doc, "variant");
  appendQuoted(&doc, getString(info, "Variant", ""));
  appendKey(&doc, "usesBBB");
  doc.append(usesBBB ? "true" : "false");
  if (const JsonValue* cape = findMember(info, "capeInfo");
      cape && cape->isObject()) {
    doc.append(",\"cape\":{\"id\":");
    appendQuoted(&doc, getString(*cape, "id", ""));
    appendKey(&doc, "name");
    appendQuoted(&doc, getString(*cape, "name", ""));
    appendKey(&doc, "version");
    appendQuoted(&doc, getString(*cape, "version", ""));
    doc.append("}");
  }
  const JsonValue* outputs = findMember(strings, "channelOutputs");
  JsonValue none;
  const JsonValue& first =
      outputs && outputs->isArray() && !outputs->array.empty()
          ? outputs->array.front()
          : none;
  appendKey(&doc, "outputType");
  appendQuoted(&doc, getString(first, "type", ""));
  appendKey(&doc, "subType");
  appendQuoted(&doc, getString(first, "subType", ""));
  appendKey(&doc, "outputCount");
  doc.append(std::to_string(getInt(first, "outputCount", 0)));
  appendKey(&doc, "endpoint");
  appendQuoted(&doc, endpoint);
  appendKey(&doc, "ports");
  doc.append("[");
  const JsonValue* ports = findMember(first, "outputs");
  bool firstPort = true;
  if (ports && ports->isArray()) {
    for (const JsonValue& output : ports->array) {
      if (!firstPort) doc.push_back(',');
      firstPort = false;
      appendPort(&doc, output);
    }
  }
  doc.append("]}");
  return doc;
}

// One past the last channel (0-based) the other channel-output files send;
// files that are missing or unreadable count as none.
int32_t otherOutputsEnd(const std::string& host,
                        const std::string& user,
                        const std::string& password) {
  int64_t end = 0;
  auto addRange = [&](const JsonValue& range) {
    if (getInt(range, "enabled", 1) == 0 || getInt(range, "active", 1) == 0)
      return;
    // Channel outputs count their channels from 1.
    const int64_t start = std::max(getInt(range, "startChannel", 0), 1);
    const int64_t count = getInt(range, "channelCount", 0);
    if (count > 0) end = std::max(end, start - 1 + count);
  };
  for (const char* path : kFppOtherOutputPaths) {
    HttpResponse answer = get(host, user, password, path);
    JsonValue doc;
    if (!answer.ok || answer.status < 200 || answer.status > 299 ||
        !parseJsonDocument(answer.body, &doc))
      continue;
    const JsonValue* outputs = findMember(doc, "channelOutputs");
    if (!outputs || !outputs->isArray()) continue;
    for (const JsonValue& output : outputs->array) {
      if (!output.isObject() || getInt(output, "enabled", 0) != 1) continue;
      const JsonValue* universes = findMember(output, "universes");
      if (universes && universes->isArray() && !universes->array.empty()) {
        for (const JsonValue& universe : universes->array)
          if (universe.isObject()) addRange(universe);
      } else {
        addRange(output);
      }
    }
  }
  return static_cast<int32_t>(std::min<int64_t>(end, INT32_MAX));
}

}  // namespace

const char* pixelStringsPath(bool usesBBB) {
  return usesBBB ? kFppBbbStringsPath : kFppPixelStringsPath;
}

int32_t fppMajorVersion(const std::string& version) {
  size_t at = !version.empty() && (version[0] == 'v' || version[0] == 'V');
  int32_t major = 0;
  bool any = false;
  for (; at < version.size() &&
         std::isdigit(static_cast<unsigned char>(version[at]));
       ++at) {
    any = true;
    major = std::min(major * 10 + (version[at] - '0'), 100000);
  }
  return any ? major : 0;
}

FppResult fppResultOf(bool answered, int32_t status) {
  if (!answered) return FppResult::kUnreachable;
  if (status == 401) return FppResult::kAuthRequired;
  if (status < 200 || status > 299) return FppResult::kHttpError;
  return FppResult::kOk;
}

FppResult queryControllerInfo(const std::string& host,
                              const std::string& user,
                              const std::string& password,
                              std::string* document) {
  document->clear();
  HttpResponse response = get(host, user, password, kFppSystemInfoPath);
  if (!response.ok) return FppResult::kUnreachable;
  if (response.status == 401) return FppResult::kAuthRequired;
  // A web server without FPP's API answers 404 (or another client error);
  // a server error may be FPP itself in trouble.
  if (response.status >= 400 && response.status <= 499)
    return FppResult::kNotFpp;
  FppResult result = fppResultOf(response.ok, response.status);
  if (result != FppResult::kOk) return result;

  // A page or any other text is not FPP; an object cut short on the way is
  // a controller that did not answer properly.
  JsonValue info;
  if (!parseJsonDocument(response.body, &info) || !info.isObject()) {
    const size_t first = response.body.find_first_not_of(" \t\r\n");
    return first != std::string::npos && response.body[first] == '{'
               ? FppResult::kBadResponse
               : FppResult::kNotFpp;
  }
  std::string platform = getString(info, "Platform", "");
  if (platform.empty() || getString(info, "Version", "").empty())
    return FppResult::kNotFpp;

  // The endpoint whose answer has outputs; the platform's when both or
  // neither have.
  const bool beagle = lowerAscii(platform).find("beagle") != std::string::npos;
  const bool order[2] = {beagle, !beagle};
  PortAnswer kinds[2] = {PortAnswer::kMissing, PortAnswer::kMissing};
  JsonValue docs[2];
  int chosen = -1;
  for (int i = 0; i < 2 && chosen < 0; ++i) {
    HttpResponse answer = get(host, user, password, pixelStringsPath(order[i]));
    if (!answer.ok) return FppResult::kUnreachable;
    kinds[i] = classifyPortAnswer(answer, &docs[i]);
    if (kinds[i] == PortAnswer::kOutputs) chosen = i;
  }
  for (int i = 0; i < 2 && chosen < 0; ++i)
    if (kinds[i] == PortAnswer::kNoOutputs) chosen = i;
  if (chosen < 0 && (kinds[0] == PortAnswer::kUnreadable ||
                     kinds[1] == PortAnswer::kUnreadable))
    return FppResult::kUnreadablePorts;
  const bool usesBBB = chosen >= 0 ? order[chosen] : beagle;
  *document = buildInfoDocument(info,
                                chosen >= 0 ? docs[chosen] : JsonValue{},
                                pixelStringsPath(usesBBB),
                                usesBBB);
  return FppResult::kOk;
}

FppResult readPortStrings(const std::string& host,
                          const std::string& user,
                          const std::string& password,
                          bool usesBBB,
                          std::string* body) {
  body->clear();
  HttpResponse response = get(host, user, password, pixelStringsPath(usesBBB));
  FppResult result = fppResultOf(response.ok, response.status);
  if (result == FppResult::kOk) *body = std::move(response.body);
  return result;
}

FppResult readUniverseInputs(const std::string& host,
                             const std::string& user,
                             const std::string& password,
                             bool* wasEnabled,
                             bool* existed,
                             std::string* body) {
  *wasEnabled = false;
  *existed = false;
  body->clear();
  HttpResponse response = get(host, user, password, kFppUniverseFilePath);
  if (response.ok && response.status == 404) return FppResult::kOk;
  FppResult result = fppResultOf(response.ok, response.status);
  if (result != FppResult::kOk) return result;

  *existed = true;
  JsonValue doc;
  if (parseJsonDocument(response.body, &doc)) {
    const JsonValue* inputs = findMember(doc, "channelInputs");
    if (inputs && inputs->isArray() && !inputs->array.empty() &&
        inputs->array.front().isObject())
      *wasEnabled = getInt(inputs->array.front(), "enabled", 0) == 1;
  }
  *body = std::move(response.body);
  return FppResult::kOk;
}

namespace {

// Reads what the controller holds now into `link`.
// The pixel ports the controller's info document lists, none selected.
std::vector<ControllerPort> pixelPorts(const JsonValue& doc) {
  std::vector<ControllerPort> list;
  const JsonValue* ports = findMember(doc, "ports");
  if (!ports || !ports->isArray()) return list;
  for (const JsonValue& entry : ports->array) {
    if (!entry.isObject()) continue;
    ControllerPort port;
    port.portNumber = getInt(entry, "portNumber", 0);
    port.pixelCount = getInt(entry, "pixelCount", 0);
    port.startChannel = getInt(entry, "startChannel", 0);
    port.nullNodes = getInt(entry, "nullNodes", 0);
    port.colorOrder = getString(entry, "colorOrder", "RGB");
    port.channelsPerPixel = channelsForColorOrder(port.colorOrder);
    port.selected = false;
    port.scanPixelCount = port.pixelCount;
    port.channelEnd = getInt(entry, "channelEnd", 0);
    if (const JsonValue* nulls = findMember(entry, "innerNulls");
        nulls && nulls->isArray())
      for (const JsonValue& n : nulls->array)
        port.innerNulls.push_back(jsonToInt(n, 0));
    list.push_back(std::move(port));
  }
  return list;
}

bool readController(ControllerLink* link,
                    const std::string& host,
                    const std::string& user,
                    const std::string& password,
                    std::string* error) {
  auto fail = [&](const char* message) {
    if (error) *error = message;
    return false;
  };

  std::string text;
  switch (queryControllerInfo(host, user, password, &text)) {
    case FppResult::kOk:
      break;
    case FppResult::kNotFpp:
      return fail("not an FPP controller");
    case FppResult::kAuthRequired:
      return fail("authentication required");
    case FppResult::kUnreadablePorts:
      return fail("could not read controller port configuration");
    default:
      return fail("could not connect to FPP");
  }
  JsonValue doc;
  if (!parseJsonDocument(text, &doc) || !doc.isObject())
    return fail("bad controller info");
  link->usesBBB = getInt(doc, "usesBBB", 0) != 0;
  link->version = getString(doc, "version", "");
  link->fppMajorVersion = fppMajorVersion(link->version);
  link->platform = getString(doc, "platform", "");
  link->hostName = getString(doc, "hostName", "");

  link->ports = pixelPorts(doc);
  if (link->ports.empty()) return fail("controller reports no pixel ports");

  // The saved document is what the restore posts back: one that does not
  // parse could not be put back as it was.
  std::string saved;
  JsonValue savedDoc;
  if (readPortStrings(host, user, password, link->usesBBB, &saved) !=
          FppResult::kOk ||
      !parseJsonDocument(saved, &savedDoc) || !savedDoc.isObject())
    return fail("could not read controller port configuration");
  link->otherOutputsEnd = otherOutputsEnd(host, user, password);
  link->savedPortStrings = std::move(saved);

  // Without knowing whether ci-universes.json exists and what it holds, the
  // restore could only delete or overwrite the user's own network input.
  link->universeFileExisted = false;
  link->savedUniverseInputs.clear();
  bool wasEnabled = false;
  bool existed = false;
  std::string universes;
  if (readUniverseInputs(
          host, user, password, &wasEnabled, &existed, &universes) !=
      FppResult::kOk) {
    link->savedPortStrings.clear();
    return fail("could not read controller universe configuration");
  }
  link->savedUniverseInputs = std::move(universes);
  link->universeFileExisted = existed;
  return true;
}

}  // namespace

bool connectController(
    ControllerLink* link,
    const std::string& host,
    const std::string& user,
    const std::string& password,
    std::string* error,
    const std::function<void(const std::string&)>& progress) {
  link->host = host;
  link->user = user;
  link->password = password;
  if (!readController(link, host, user, password, error)) return false;
  bool putBack = false;
  if (!recoverEarlierScan(link, progress, &putBack, error)) {
    link->savedPortStrings.clear();
    return false;
  }
  // What an earlier scan left is gone: read the user's own configuration.
  return !putBack || readController(link, host, user, password, error);
}

}  // namespace pxo
