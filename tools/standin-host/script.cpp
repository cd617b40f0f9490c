#include "standin-host/script.h"

#include <charconv>
#include <limits>

namespace {

struct VerbName {
  std::string_view name;
  Verb verb;
};

constexpr VerbName kVerbs[] = {
    {"add", Verb::kAdd},         {"clear", Verb::kClear},
    {"play", Verb::kPlay},       {"pause", Verb::kPause},
    {"stop", Verb::kStop},       {"caption", Verb::kCaption},
    {"answer", Verb::kAnswer},   {"send", Verb::kSend},
    {"post", Verb::kPost},       {"pump", Verb::kPump},
    {"gettext", Verb::kGetText}, {"init", Verb::kInit},
    {"config", Verb::kConfig},   {"quit", Verb::kQuit},
    {"free", Verb::kFree},       {"procedure", Verb::kProcedure},
    {"module", Verb::kModule},
};

// Numbers may be given by these names, so scripts read like the messages they send.
struct NumberName {
  std::string_view name;
  unsigned long long value;
};

constexpr NumberName kNumberNames[] = {
    {"WM_NULL", 0x0000},          {"WM_SETTEXT", 0x000C},       {"WM_GETTEXT", 0x000D},
    {"WM_GETTEXTLENGTH", 0x000E}, {"WM_COMMAND", 0x0111},       {"WM_TIMER", 0x0113},
    {"WM_USER", 0x0400},          {"WM_WA_IPC", 0x0400},        {"IPC_ISPLAYING", 104},
    {"IPC_GETLISTPOS", 125},      {"IPC_GETPLAYLISTFILE", 211}, {"IPC_MBOPEN", 241},
};

constexpr LRESULT kLargestGetText = 65536;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view SkipBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  return text;
}

// Takes the next word off `rest`: a run of non-blanks, or a double-quoted run that may hold
// blanks (Windows paths do; there are no escapes, so backslashes stay as they are).
bool TakeWord(std::string_view& rest, std::string& word, std::string& error) {
  rest = SkipBlanks(rest);
  if (!rest.empty() && rest.front() == '"') {
    const std::size_t close = rest.find('"', 1);
    if (close == std::string_view::npos) {
      error = "no closing quote";
      return false;
    }
    word = rest.substr(1, close - 1);
    rest.remove_prefix(close + 1);
    if (!rest.empty() && !IsBlank(rest.front())) {
      error = "text right after a closing quote";
      return false;
    }
    return true;
  }
  std::size_t end = 0;
  while (end < rest.size() && !IsBlank(rest[end])) ++end;
  word = rest.substr(0, end);
  rest.remove_prefix(end);
  return true;
}

struct Number {
  bool negative = false;
  unsigned long long magnitude = 0;
};

bool ParseNumber(std::string_view word, Number& number) {
  for (const NumberName& named : kNumberNames) {
    if (word == named.name) {
      number = {false, named.value};
      return true;
    }
  }
  number.negative = !word.empty() && word.front() == '-';
  if (number.negative) word.remove_prefix(1);
  int base = 10;
  if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
    base = 16;
    word.remove_prefix(2);
  }
  if (word.empty() || word.front() == '+' || word.front() == '-') return false;
  const char* end = word.data() + word.size();
  const auto [stop, problem] = std::from_chars(word.data(), end, number.magnitude, base);
  return problem == std::errc() && stop == end;
}

// Converts to T when the number fits it.
template <typename T>
bool Fit(const Number& number, T& value) {
  const auto largest = static_cast<unsigned long long>(std::numeric_limits<T>::max());
  if (!number.negative || number.magnitude == 0) {
    if (number.magnitude > largest) return false;
    value = static_cast<T>(number.magnitude);
    return true;
  }
  if constexpr (std::numeric_limits<T>::is_signed) {
    if (number.magnitude - 1 > largest) return false;
    value = static_cast<T>(-static_cast<T>(number.magnitude - 1) - 1);
    return true;
  } else {
    return false;
  }
}

template <typename T>
bool TakeNumber(std::string_view& rest, const char* what, T& value, std::string& error) {
  std::string word;
  if (!TakeWord(rest, word, error)) return false;
  if (word.empty()) {
    error = std::string("needs ") + what;
    return false;
  }
  Number number;
  if (!ParseNumber(word, number) || !Fit(number, value)) {
    error = std::string("'") + word + "' is not a " + what;
    return false;
  }
  return true;
}

bool ParseArguments(std::string_view rest, Command& command, std::string& error) {
  switch (command.verb) {
    case Verb::kAdd: {
      if (!TakeWord(rest, command.name, error)) return false;
      if (command.name.empty()) {
        error = "needs a FILE";
        return false;
      }
      command.entryText = SkipBlanks(rest);
      if (command.entryText.empty()) {
        // Without "Artist - Title" the caption shows the file's name, as players do.
        const std::size_t folder = command.name.find_last_of("\\/");
        command.entryText = command.name.substr(folder == std::string::npos ? 0 : folder + 1);
        command.entryText = command.entryText.substr(0, command.entryText.rfind('.'));
      }
      return true;
    }
    case Verb::kCaption:
      command.name = SkipBlanks(rest);
      return true;
    case Verb::kModule:
      if (!TakeWord(rest, command.name, error)) return false;
      if (command.name.empty()) error = "needs a module NAME";
      break;
    case Verb::kPlay:
      if (!TakeNumber(rest, "playlist entry", command.number, error)) return false;
      if (command.number < 1) error = "entries count from 1";
      break;
    case Verb::kAnswer:
      if (!TakeNumber(rest, "result", command.number, error)) return false;
      break;
    case Verb::kGetText:
      if (!TakeNumber(rest, "buffer size", command.number, error)) return false;
      if (command.number > kLargestGetText) error = "buffer size over 65536";
      break;
    case Verb::kSend:
    case Verb::kPost:
      if (!TakeNumber(rest, "message number", command.msg, error) ||
          !TakeNumber(rest, "wParam", command.wParam, error) ||
          !TakeNumber(rest, "lParam", command.lParam, error)) {
        return false;
      }
      break;
    default:
      break;
  }
  if (error.empty() && !SkipBlanks(rest).empty()) {
    error = "unexpected '" + std::string(SkipBlanks(rest)) + "'";
  }
  return error.empty();
}

}  // namespace

bool ParseCommand(std::string_view text, Command& command, std::string& error) {
  command = Command{};
  command.text = SkipBlanks(text);
  std::string_view rest = command.text;
  std::string verb;
  if (!TakeWord(rest, verb, error)) return false;
  for (const VerbName& known : kVerbs) {
    if (verb == known.name) {
      command.verb = known.verb;
      if (ParseArguments(rest, command, error)) return true;
      error.insert(0, verb + ": ");
      return false;
    }
  }
  error = "unknown command '" + verb + "'";
  return false;
}

bool ParseScript(std::string_view script, std::vector<Command>& commands, std::string& error) {
  int number = 0;
  while (!script.empty()) {
    const std::size_t end = script.find('\n');
    std::string_view line = script.substr(0, end);
    script.remove_prefix(end == std::string_view::npos ? script.size() : end + 1);
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = SkipBlanks(line);
    if (line.empty() || line.front() == '#') continue;
    Command command;
    const std::string where = "line " + std::to_string(number);
    if (!ParseCommand(line, command, error)) {
      error.insert(0, where + ": ");
      return false;
    }
    command.where = where;
    commands.push_back(std::move(command));
  }
  return true;
}

bool ScriptRunner::Run(const Command& command, std::string& error) {
  if (echo_) log_.Add("> " + command.text);
  switch (command.verb) {
    case Verb::kAdd:
      player_.Add({command.name, command.entryText});
      return true;
    case Verb::kClear:
      player_.ClearPlaylist();
      return true;
    case Verb::kPlay:
      if (static_cast<std::size_t>(command.number) > player_.size()) {
        error = "the playlist has " + std::to_string(player_.size()) + " entries";
        return false;
      }
      player_.Play(static_cast<std::size_t>(command.number));
      return true;
    case Verb::kPause:
      player_.SetState(kPausedState);
      return true;
    case Verb::kStop:
      player_.SetState(0);
      return true;
    case Verb::kCaption:
      player_.SetCaption(command.name);
      return true;
    case Verb::kAnswer:
      player_.SetAnswer(command.number);
      return true;
    case Verb::kSend:
      Send(command);
      return true;
    case Verb::kPost:
      PostMessageA(player_.window(), command.msg, command.wParam, command.lParam);
      log_.Add("posted " + MessageText(command.msg, command.wParam, command.lParam));
      return true;
    case Verb::kPump: {
      const std::size_t handled = Player::Pump();
      log_.Add("pumped " + std::to_string(handled) +
               (handled == Player::kPumpLimit ? " (stopped: the queue does not empty)" : ""));
      return true;
    }
    case Verb::kGetText: {
      std::string caption(static_cast<std::size_t>(command.number) + 1, '\0');
      const int length =
          GetWindowTextA(player_.window(), caption.data(), static_cast<int>(command.number));
      caption.resize(static_cast<std::size_t>(length > 0 ? length : 0));
      log_.Add("gettext -> " + caption);
      return true;
    }
    case Verb::kProcedure:
      log_.Add("procedure " + player_.ProcedureOwner());
      return true;
    case Verb::kModule:
      log_.Add("module " + command.name +
               (GetModuleHandleA(command.name.c_str()) != nullptr ? " loaded" : " absent"));
      return true;
    default:
      return RunPlugin(command, error);
  }
}

bool ScriptRunner::RunPlugin(const Command& command, std::string& error) {
  if (!player_.loaded() || player_.freed()) {
    error = player_.freed() ? "the plugin has been freed" : "no plugin loaded (--plugin)";
    return false;
  }
  switch (command.verb) {
    case Verb::kInit:
      log_.Add("init -> " + std::to_string(player_.Init()));
      break;
    case Verb::kConfig:
      player_.Config();
      log_.Add("config");
      break;
    case Verb::kQuit:
      player_.Quit();
      log_.Add("quit");
      break;
    default:
      log_.Add("free -> " + std::to_string(player_.Free()));
      break;
  }
  return true;
}

void ScriptRunner::Send(const Command& command) {
  const LRESULT result =
      SendMessageA(player_.window(), command.msg, command.wParam, command.lParam);
  std::string shown = std::to_string(result);
  // A file query answers a pointer: show the name it points to.
  if (command.msg == WM_WA_IPC && command.lParam == IPC_GETPLAYLISTFILE) {
    shown = result == 0 ? "null" : reinterpret_cast<const char*>(result);
  }
  log_.Add("sent " + MessageText(command.msg, command.wParam, command.lParam) + " -> " + shown);
}

void ScriptRunner::Finish() {
  if (!player_.loaded() || player_.freed()) return;
  log_.Add("exit");
  if (player_.running()) {
    player_.Quit();
    log_.Add("quit");
  }
  log_.Add("free -> " + std::to_string(player_.Free()));
}
