// quarvel-publish: puts a game build on the update server, checks a server the way the
// launcher sees it, and copies what one server's folder serves into another's.
#include "Mirror.h"
#include "Publish.h"
#include "Refusal.h"
#include "ServerCheck.h"
#include "Signing.h"
#include "package/Download.h"

#include <algorithm>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char* usage = R"(Usage:
  quarvel-publish [--force] [--sign SECRET_KEY]... [--valid-for DAYS] [--patch-from OLD]...
                  [--launcher DIR] [--rollout PERCENT] BUILD_DIR LINE SERVER_DIR
  quarvel-publish --halt [--sign SECRET_KEY]... [--valid-for DAYS] SERVER_DIR
  quarvel-publish --renew --sign SECRET_KEY... [--valid-for DAYS] SERVER_DIR
  quarvel-publish --check SERVER_URL [--key PUBLIC_KEY]...
  quarvel-publish [--force] --mirror FROM_DIR TO_DIR
  quarvel-publish --help

Publishing packs the game build in BUILD_DIR into SERVER_DIR/"quarvel LINE.zip"
and then announces it by writing LINE to SERVER_DIR/latest_version.txt.

  LINE        the version line: exactly 12 characters, 4 free ones and then the
              build date as YYYYMMDD, e.g. "1.0 20261205". Blanks count. The
              month must be 01 to 12, and the line may not hold '/', '\', '#',
              '?', '%' or control characters.
  BUILD_DIR   the game build. It must hold details/Quarvel.exe, executable.
              Every file and folder goes into the package below one top-level
              folder "Quarvel", each folder before its contents, names sorted,
              with their permission bits. Symbolic links and special files are
              refused: put the file a link points to into the build instead.
  SERVER_DIR  the folder the web server serves at the launcher's address. The
              package is written under a temporary name and renamed into place;
              latest_version.txt is written last, the same way, so the server
              never names a package that is missing or half written. Older
              packages are left in place. Nothing is written when publishing is
              refused.
  --force     replace an existing package of the same LINE that holds other
              contents. Publishing the very same build again needs no --force
              and keeps the package as it is.
  --sign SECRET_KEY
              sign the package with a minisign secret key file (made by
              "minisign -G"). The signature is written beside the package as
              "quarvel LINE.zip.minisig" and after the first line of
              latest_version.txt, where launchers built with the public key
              look for it. A password-protected key takes its password from
              QUARVEL_SIGN_PASSWORD, or else asks on the terminal. May be given
              up to 8 times: each key signs the package and every patch, so that
              launchers built with any one of them take the update (the way to
              replace a key); the first key's signature goes beside the package.
  --patch-from OLD
              also write a patch from the earlier build OLD, a published
              package "quarvel LINE.zip" or a build folder given as DIR=LINE:
              "quarvel LINE patch from OLD_LINE.zip" beside the package, holding
              the new and changed small files whole and each changed large file
              as a zstd delta against the old one. A launcher with OLD installed
              downloads it instead of the package. It is announced after the
              first line of latest_version.txt ("patch: OLD_LINE FILE") and
              signed with --sign like the package. A patch that would be larger
              than half the package is not written. May be given several times.
  --launcher DIR
              carry a launcher in the build: DIR holds linux/ or windows/ or both,
              each a launcher's folder as its build leaves it (the program, its
              libraries on Windows, its six assets, the font's licence,
              quarvel-launcher.version, .keys and .server; nothing
              else is taken). They go
              into the package under launcher/; an installed launcher of an
              older version installs the one for its system after the build.

  --valid-for DAYS
              with --sign: the launcher takes this announcement for DAYS days
              from now, and after that treats it like no answer at all (its
              players keep their installed build and are told the server cannot
              be reached). Without it an announcement never runs out. Renew it
              before it does, with --renew.
  --rollout PERCENT
              give the build to PERCENT % (0 to 100) of players only; the
              others keep the build announced now, or install it. Run again
              with the same LINE and a larger PERCENT to widen the rollout (the
              package is kept); 100, or a publish without --rollout, gives the
              build to everyone. Each launcher folder draws its place once, and
              each build's rollout reaches another share first. With --sign the
              share and the build before are signed too. Launchers of earlier
              releases know no rollout: they take the build at once.

Halting (--halt) stops the rollout announced in SERVER_DIR: it is signed again
at 0 %, so players who have the new build keep it and nobody else gets it.
Renewing (--renew) signs again, with a new --valid-for life, all that SERVER_DIR
announces, rollout and patches included, without packing anything. Both take
the studio's keys again, and refuse a file that those keys did not sign (someone
else's, put into the folder) and an announcement with a life but no --valid-for.
Each file keeps the time it was first signed at, so signing again never makes an
older build look newer to a launcher. --rollout keeps the previous build's time
the same way.

Checking asks SERVER_URL (host[:port][/path]/, or with https://, the form compiled
into the launcher; a comma-separated list checks each host in turn) for latest_version.txt and then for the package it names,
just as the launcher does, and prints one line per finding, "ok: ..." or
"note: ..." or "problem: ...". A transfer that stalls for 30 s is given up. With
--key (the base64 line of a minisign public key, or its .pub file; may be given
several times) it also checks, for each key, what a launcher built with that key
alone does: a build it cannot verify is a problem (those players keep their
installed build), a patch it cannot verify a note (they download the whole build).
A build that carries a launcher is checked at the server that launcher asks
too: one that does not announce the build is a problem, since the players it
reaches could not update; a launcher that names no server is a note.

Mirroring makes TO_DIR (made if missing), another server's folder, serve what
FROM_DIR serves: each file of FROM_DIR that TO_DIR lacks (hidden files, which
are a publish under way, and folders aside) is copied, flushed and renamed into
place, and FROM_DIR's latest_version.txt, read before the copies, comes last,
so that TO_DIR never announces a package it does not hold whole. A file that
TO_DIR holds with other contents is refused unless --force. Nothing in TO_DIR
is removed.

Exit status: 0 when publishing or mirroring succeeded, or every player would
get the update; 1 when publishing or mirroring was refused or failed, or the
check found a problem;
2 for a wrong command line.
)";

enum class Mode { Help, Publish, Check, Mirror, Halt, Renew };

struct Command {
  Mode mode = Mode::Publish;
  PublishRequest publish;
  std::string serverUrl;
  std::vector<std::string> publicKeys;
  std::string mirrorTo;
};

// The value of an option that takes one, which must follow it.
std::string optionValue(const std::vector<std::string>& args, std::size_t& i) {
  if (i + 1 == args.size()) throw UsageError(args[i] + " needs a value");
  return args[++i];
}

// The operands each mode takes, checked against the options given with them.
void placeOperands(Command& command, const std::vector<std::string>& operands) {
  if (command.mode == Mode::Check) {
    if (operands.size() != 1 || command.publish.force || !command.publish.signingKeys.empty() ||
        command.publish.validForDays || command.publish.rolloutPercent)
      throw UsageError("--check takes one SERVER_URL and, if wanted, --key");
    const std::vector<std::string> addresses = serverAddresses(operands[0]);
    if (addresses.empty()) throw UsageError(serverUrlProblem(""));
    for (const std::string& address : addresses)
      if (const std::string problem = serverUrlProblem(address); !problem.empty()) throw UsageError(problem);
    command.serverUrl = operands[0];
  } else if (command.mode == Mode::Halt || command.mode == Mode::Renew) {
    const bool renew = command.mode == Mode::Renew;
    if (operands.size() != 1 || command.publish.force || !command.publicKeys.empty() ||
        !command.publish.patchFrom.empty() || !command.publish.launcherDir.empty() || command.publish.rolloutPercent ||
        (renew && command.publish.signingKeys.empty()))
      throw UsageError(renew ? "--renew takes SERVER_DIR, --sign and, if wanted, --valid-for"
                             : "--halt takes SERVER_DIR and, if its builds are signed, --sign");
    command.publish.serverDir = operands[0];
  } else if (command.mode == Mode::Mirror) {
    if (operands.size() != 2 || !command.publish.signingKeys.empty() || !command.publicKeys.empty() ||
        !command.publish.patchFrom.empty() || !command.publish.launcherDir.empty() ||
        command.publish.validForDays || command.publish.rolloutPercent)
      throw UsageError("--mirror takes FROM_DIR TO_DIR and no option but --force");
    command.publish.serverDir = operands[0];
    command.mirrorTo = operands[1];
  } else {
    if (operands.size() != 3) throw UsageError("expected BUILD_DIR LINE SERVER_DIR");
    if (!command.publicKeys.empty()) throw UsageError("--key goes with --check");
    command.publish.buildDir = operands[0];
    command.publish.line = operands[1];
    command.publish.serverDir = operands[2];
  }
}

Mode otherMode(Mode current, Mode wanted) {
  if (current != Mode::Publish) throw UsageError("--check, --mirror, --halt and --renew go alone");
  return wanted;
}

int numberValue(const std::vector<std::string>& args, std::size_t& i, int lowest, int highest) {
  const std::string& option = args[i];
  const std::string value = optionValue(args, i);
  std::size_t used = 0;
  int number = -1;
  try {
    number = std::stoi(value, &used);
  } catch (const std::exception&) {
  }
  if (used != value.size() || number < lowest || number > highest)
    throw UsageError(option + " takes a whole number from " + std::to_string(lowest) + " to " + std::to_string(highest));
  return number;
}

// Options come first; "--" ends them, for a line that starts with a dash.
Command parseArguments(const std::vector<std::string>& args) {
  Command command;
  std::vector<std::string> operands;
  bool options = true;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options && arg == "--")
      options = false;
    else if (options && (arg == "--help" || arg == "-h"))
      return Command{Mode::Help, {}, {}, {}, {}};
    else if (options && arg == "--force")
      command.publish.force = true;
    else if (options && (arg == "--check" || arg == "--mirror" || arg == "--halt" || arg == "--renew"))
      command.mode = otherMode(command.mode, arg == "--check"    ? Mode::Check
                                             : arg == "--mirror" ? Mode::Mirror
                                             : arg == "--halt"   ? Mode::Halt
                                                                 : Mode::Renew);
    else if (options && arg == "--rollout")
      command.publish.rolloutPercent = numberValue(args, i, 0, 100);
    else if (options && arg == "--valid-for")
      command.publish.validForDays = numberValue(args, i, 1, 3650);
    else if (options && arg == "--sign")
      command.publish.signingKeys.push_back(optionValue(args, i));
    else if (options && arg == "--patch-from")
      command.publish.patchFrom.push_back(optionValue(args, i));
    else if (options && arg == "--launcher")
      command.publish.launcherDir = optionValue(args, i);
    else if (options && arg == "--key")
      command.publicKeys.push_back(optionValue(args, i));
    else if (options && arg.size() > 1 && arg[0] == '-')
      throw UsageError("unknown option '" + arg + "'");
    else
      operands.push_back(arg);
  }
  if (command.publish.validForDays && command.publish.signingKeys.empty())
    throw UsageError("--valid-for goes with --sign: only a signed announcement can carry its life");
  placeOperands(command, operands);
  return command;
}

int run(const Command& command) {
  switch (command.mode) {
    case Mode::Help: std::cout << usage; return 0;
    case Mode::Check: {
      std::vector<CheckedKey> keys;
      for (const std::string& key : command.publicKeys) keys.push_back({key, readPublicKey(key)});
      // A list, as the launcher is built with it: each host may serve a start, so each is checked.
      const std::vector<std::string> addresses = serverAddresses(command.serverUrl);
      int status = 0;
      for (const std::string& address : addresses) {
        if (addresses.size() > 1) std::cout << "== " << address << std::endl;
        status = std::max(status, checkServer(address, keys));
      }
      return status;
    }
    case Mode::Publish: std::cout << publish(command.publish) << std::endl; return 0;
    case Mode::Halt:
    case Mode::Renew:
      std::cout << reannounce(command.publish.serverDir, command.mode == Mode::Halt, command.publish.signingKeys,
                              command.publish.validForDays)
                << std::endl;
      return 0;
    case Mode::Mirror: std::cout << mirror(command.publish.serverDir, command.mirrorTo, command.publish.force) << std::endl; return 0;
  }
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(parseArguments(std::vector<std::string>(argv + 1, argv + argc)));
  } catch (const UsageError& e) {
    std::cerr << "quarvel-publish: " << e.what() << " (see quarvel-publish --help)" << std::endl;
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "quarvel-publish: " << e.what() << std::endl;
    return 1;
  }
}
