// SPDX-License-Identifier: MIT
// The program as a system receives it: the manual page, the install rules and
// the Debian package, through the real tools (groff, cmake, cpack, dpkg-deb).
#include "program/program_helpers.h"
#include "support/devices.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string source_dir = PROJECT_SOURCE_DIR;
const std::string binary_dir = PROJECT_BINARY_DIR;
const std::string manual_page = source_dir + "/docs/platterfell.8";

struct shell_result {
    int status = -1;    // exit status; -1 when the shell did not exit normally
    std::string output; // what the command wrote to standard output
};

std::string quoted(const std::string& text) {
    std::string result = "'";
    for (char c : text) {
        if (c == '\'')
            result += "'\\''";
        else
            result += c;
    }
    return result + "'";
}

shell_result run_shell(const std::string& command) {
    child_options options;
    options.timeout_seconds = 600; // the package is built from scratch
    const child_result run = run_child({"sh", "-c", command}, options);
    shell_result result;
    result.output = run.out;
    if (run.exited)
        result.status = run.exit_code;
    return result;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The lines of the page between ".SH NAME" and the next ".SH".
std::vector<std::string> section_of(const std::vector<std::string>& page, const std::string& name) {
    std::vector<std::string> section;
    bool inside = false;
    for (const std::string& line : page) {
        if (line.rfind(".SH", 0) == 0) {
            if (inside)
                break;
            inside = line == ".SH " + name || line == ".SH \"" + name + "\"";
            continue;
        }
        if (inside)
            section.push_back(line);
    }
    return section;
}

std::string missing_tool(const std::vector<std::string>& tools) {
    for (const std::string& tool : tools) {
        if (run_shell("command -v " + tool + " >/dev/null 2>&1").status != 0)
            return tool + " is not installed";
    }
    return "";
}

// A folder of its own under /tmp, removed at the end unless the test failed,
// so that a failure leaves its evidence behind.
class scratch_folder {
  public:
    scratch_folder() {
        char pattern[] = "/tmp/platterfell-packaging.XXXXXX";
        if (mkdtemp(pattern) != nullptr)
            path_ = pattern;
    }
    ~scratch_folder() {
        if (path_.empty())
            return;
        if (testing::Test::HasFailure()) {
            std::cerr << "scratch folder kept: " << path_ << "\n";
            return;
        }
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    scratch_folder(const scratch_folder&) = delete;
    scratch_folder& operator=(const scratch_folder&) = delete;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

struct program_output {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs BINARY -h with standard error caught in a file of FOLDER.
program_output run_help(const std::string& binary, const std::string& folder) {
    const std::string err_file = folder + "/help.err";
    shell_result run = run_shell(quoted(binary) + " -h 2>" + quoted(err_file) + " </dev/null");
    return {run.status, run.output, read_file(err_file)};
}

// The letter and value name (empty for a flag) of every option line of the
// usage text, as in "  -w <workers>     - Number of ...".
std::map<char, std::string> options_of_usage(const std::string& usage) {
    static const std::regex option_line(R"(^  -([A-Za-z])(?: <([a-z]+)>)? +- .*$)");
    std::map<char, std::string> options;
    for (const std::string& line : lines_of(usage)) {
        std::smatch match;
        if (std::regex_match(line, match, option_line))
            options[match[1].str()[0]] = match[2].str();
    }
    return options;
}

// The version at the end of the usage text's first line, "... utility, v1.4.0".
std::string version_of_usage(const std::string& usage) {
    static const std::regex first_line(R"(^platterfell - .*, v([0-9]+\.[0-9]+\.[0-9]+)\n)");
    std::smatch match;
    if (!std::regex_search(usage, match, first_line))
        return "";
    return match[1].str();
}

// The package version that CMake's project() gave this build tree; it runs
// ahead of the usage text's, which stays as the program has always printed it.
std::string version_of_package() {
    static const std::regex setting(R"re(set\(CPACK_PACKAGE_VERSION "([^"]+)"\))re");
    std::smatch match;
    const std::string config = read_file(binary_dir + "/CPackConfig.cmake");
    if (!std::regex_search(config, match, setting))
        return "";
    return match[1].str();
}

std::string help_of_build(const std::string& folder) {
    return run_help(PLATTERFELL_BINARY, folder).err;
}

std::string list_of(const std::set<std::string>& names) {
    std::string text;
    for (const std::string& name : names)
        text += " " + name;
    return text.empty() ? " (none)" : text;
}

// Installs the build tree's default component under ROOT, as a package build
// or "make install DESTDIR=..." does; gives what cmake printed on a failure.
shell_result install_under(const std::string& root) {
    return run_shell("DESTDIR=" + quoted(root) + " cmake --install " + quoted(binary_dir) +
                     " --prefix /usr --component Unspecified 2>&1");
}

std::set<std::string> regular_files_under(const std::string& root) {
    std::set<std::string> files;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file())
            files.insert(fs::relative(entry.path(), root).string());
    }
    return files;
}

TEST(ManualPage, RendersWithoutAnyWarning) {
    REQUIRE_GATE(missing_tool({"groff"}));
    shell_result render = run_shell("groff -man -ww -z " + quoted(manual_page) + " 2>&1");
    EXPECT_EQ(render.status, 0);
    EXPECT_EQ(render.output, "");
}

TEST(ManualPage, HasTheSectionsOfAnAdministratorsPageInOrder) {
    std::vector<std::string> headings;
    for (const std::string& line : lines_of(read_file(manual_page))) {
        if (line.rfind(".SH ", 0) == 0)
            headings.push_back(line.substr(4));
    }
    const std::vector<std::string> expected = {
        "NAME",     "SYNOPSIS", "DESCRIPTION", "OPTIONS",    "EXIT STATUS",
        "EXAMPLES", "SAFETY",   "LIMITATIONS", "REAL DISKS", "SEE ALSO",
    };
    EXPECT_EQ(headings, expected);
}

TEST(ManualPage, TitleNamesSectionEightAndTheVersionOfTheProgram) {
    scratch_folder scratch;
    ASSERT_FALSE(scratch.path().empty());
    const std::string version = version_of_usage(help_of_build(scratch.path()));
    ASSERT_NE(version, "") << "no version in the usage text of " << PLATTERFELL_BINARY;

    std::string title;
    for (const std::string& line : lines_of(read_file(manual_page))) {
        if (line.rfind(".TH ", 0) == 0) {
            title = line;
            break;
        }
    }
    const std::regex expected_title("^\\.TH PLATTERFELL 8 [0-9]{4}-[0-9]{2}-[0-9]{2} "
                                    "\"platterfell " +
                                    std::regex_replace(version, std::regex("\\."), "\\.") +
                                    "\" \"System Administration\"$");
    EXPECT_TRUE(std::regex_match(title, expected_title)) << title;
}

// Every option that the program's own -h lists has an entry in OPTIONS, with
// the same value name, and a place in SYNOPSIS; the page lists no other.
TEST(ManualPage, DocumentsEveryOptionOfTheUsageText) {
    scratch_folder scratch;
    ASSERT_FALSE(scratch.path().empty());
    const std::map<char, std::string> usage_options =
        options_of_usage(help_of_build(scratch.path()));
    ASSERT_FALSE(usage_options.empty()) << "no option lines in the usage text";

    const std::vector<std::string> page = lines_of(read_file(manual_page));
    const std::vector<std::string> options = section_of(page, "OPTIONS");
    ASSERT_FALSE(options.empty()) << "no OPTIONS section";
    // An entry is a .TP followed by its tag: ".B \-y" or ".BI \-b " blocksize"".
    static const std::regex tag(R"re(^\.BI? \\-([A-Za-z])(?: " ([a-z]+)")?$)re");
    std::map<char, std::string> page_options;
    for (size_t i = 0; i + 1 < options.size(); ++i) {
        std::smatch match;
        if (options[i] == ".TP" && std::regex_match(options[i + 1], match, tag))
            page_options[match[1].str()[0]] = match[2].str();
    }
    for (const auto& [letter, value] : usage_options) {
        auto entry = page_options.find(letter);
        if (entry == page_options.end())
            ADD_FAILURE() << "-" << letter << " is not documented in OPTIONS";
        else
            EXPECT_EQ(entry->second, value) << "value name of -" << letter;
    }
    for (const auto& [letter, value] : page_options) {
        EXPECT_EQ(usage_options.count(letter), 1u)
            << "OPTIONS documents -" << letter << ", which the program does not have";
    }

    std::string synopsis;
    for (const std::string& line : section_of(page, "SYNOPSIS"))
        synopsis += line + "\n";
    for (const auto& [letter, value] : usage_options) {
        std::string shown = "\\-" + std::string(1, letter);
        if (!value.empty())
            shown += "\n.IR " + value;
        EXPECT_NE(synopsis.find(shown), std::string::npos) << "-" << letter << " in SYNOPSIS";
    }
}

TEST(Install, PutsTheProgramInSbinAndThePageInManEightUnderDestdir) {
    REQUIRE_GATE(missing_tool({"cmake"}));
    scratch_folder scratch;
    ASSERT_FALSE(scratch.path().empty());
    const std::string root = scratch.path() + "/root";

    shell_result install = install_under(root);
    ASSERT_EQ(install.status, 0) << install.output;

    const std::set<std::string> expected = {"usr/sbin/platterfell",
                                            "usr/share/man/man8/platterfell.8"};
    const std::set<std::string> installed = regular_files_under(root);
    EXPECT_EQ(installed, expected) << "installed:" << list_of(installed);

    const std::string program = root + "/usr/sbin/platterfell";
    struct stat program_stat {};
    ASSERT_EQ(stat(program.c_str(), &program_stat), 0) << program;
    EXPECT_EQ(program_stat.st_mode & 0777, 0755u);
    EXPECT_TRUE(read_file(root + "/usr/share/man/man8/platterfell.8") == read_file(manual_page))
        << "the installed page differs from docs/platterfell.8";

    program_output help = run_help(program, scratch.path());
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, expected_usage);
    EXPECT_EQ(help.out, "");
}

// The fields of "dpkg-deb -I": " Name: value" lines.
std::map<std::string, std::string> control_fields(const std::string& info) {
    static const std::regex field(R"(^ ([A-Za-z][A-Za-z0-9-]*): (.*)$)");
    std::map<std::string, std::string> fields;
    for (const std::string& line : lines_of(info)) {
        std::smatch match;
        if (std::regex_match(line, match, field))
            fields[match[1].str()] = match[2].str();
    }
    return fields;
}

// The mode and owner of every regular file in "dpkg-deb -c", by path.
std::map<std::string, std::string> packaged_files(const std::string& listing) {
    static const std::regex entry(R"(^(-[rwxsStT-]{9}) (\S+) +[0-9]+ \S+ \S+ (\S+)$)");
    std::map<std::string, std::string> files;
    for (const std::string& line : lines_of(listing)) {
        std::smatch match;
        if (std::regex_match(line, match, entry))
            files[match[3].str()] = match[1].str() + " " + match[2].str();
    }
    return files;
}

// The package is made with the build tree's own CPack settings, but from a
// staged install rather than by cpack's usual "preinstall" step: that step
// builds every target of the tree, which in the middle of a test run could
// rebuild the very binary that other tests are running.
TEST(DebianPackage, HoldsProgramAndPageWithAdminMetadataAndLibcDependency) {
    REQUIRE_GATE(missing_tool({"cmake", "cpack", "dpkg", "dpkg-deb", "dpkg-shlibdeps"}));
    scratch_folder scratch;
    ASSERT_FALSE(scratch.path().empty());
    const std::string version = version_of_package();
    ASSERT_NE(version, "") << "no CPACK_PACKAGE_VERSION in " << binary_dir;
    const std::string stage = scratch.path() + "/stage";
    const std::string out = scratch.path() + "/out";
    shell_result install = install_under(stage);
    ASSERT_EQ(install.status, 0) << install.output;

    const std::string config = scratch.path() + "/CPackConfig.cmake";
    std::ofstream(config) << "include(\"" << binary_dir << "/CPackConfig.cmake\")\n"
                          << "set(CPACK_INSTALL_CMAKE_PROJECTS \"\")\n"
                          << "set(CPACK_INSTALLED_DIRECTORIES \"" << stage << ";/\")\n";
    shell_result pack =
        run_shell("cpack -G DEB --config " + quoted(config) + " -B " + quoted(out) + " 2>&1");
    ASSERT_EQ(pack.status, 0) << pack.output;

    std::string architecture = run_shell("dpkg --print-architecture").output;
    while (!architecture.empty() && architecture.back() == '\n')
        architecture.pop_back();
    std::set<std::string> packages;
    for (const fs::directory_entry& entry : fs::directory_iterator(out)) {
        if (entry.path().extension() == ".deb")
            packages.insert(entry.path().filename().string());
    }
    const std::string name = "platterfell_" + version + "_" + architecture + ".deb";
    ASSERT_EQ(packages, std::set<std::string>{name}) << pack.output;
    const std::string deb = quoted(out + "/" + name);

    shell_result listing = run_shell("dpkg-deb -c " + deb);
    ASSERT_EQ(listing.status, 0);
    std::map<std::string, std::string> files = packaged_files(listing.output);
    EXPECT_EQ(files["./usr/sbin/platterfell"], "-rwxr-xr-x root/root") << listing.output;
    // Debian policy: the page compressed, a copyright file and a changelog.
    EXPECT_EQ(files["./usr/share/man/man8/platterfell.8.gz"], "-rw-r--r-- root/root");
    EXPECT_EQ(files["./usr/share/doc/platterfell/copyright"], "-rw-r--r-- root/root");
    EXPECT_EQ(files["./usr/share/doc/platterfell/changelog.gz"], "-rw-r--r-- root/root");
    EXPECT_EQ(files.size(), 4u) << listing.output;

    shell_result info = run_shell("dpkg-deb -I " + deb);
    ASSERT_EQ(info.status, 0);
    std::map<std::string, std::string> fields = control_fields(info.output);
    EXPECT_EQ(fields["Package"], "platterfell") << info.output;
    EXPECT_EQ(fields["Version"], version);
    EXPECT_EQ(fields["Architecture"], architecture);
    EXPECT_TRUE(std::regex_search(fields["Depends"], std::regex(R"((^|, )libc6( \(|,|$))")))
        << "Depends: " << fields["Depends"];
    EXPECT_TRUE(std::regex_match(fields["Maintainer"], std::regex(R"(.+ <[^ @]+@[^ @]+>)")))
        << "Maintainer: " << fields["Maintainer"];
    EXPECT_NE(fields["Description"], "");
    EXPECT_EQ(fields.count("Homepage"), 0u);
}

} // namespace
