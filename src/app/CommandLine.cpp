#include "app/CommandLine.h"

#include <boost/program_options.hpp>
#include <sstream>
#include <vector>

namespace po = boost::program_options;

namespace {

po::options_description Options() {
    po::options_description options("Options");
    options.add_options()("help,h", "print this help and exit")("version", "print the version and exit")(
        "json", "with status: print the master's answer as JSON, one line");
    return options;
}

}  // namespace

std::string CommandLine::Usage() {
    std::ostringstream text;
    text << "Usage: vessel                 run the Vessel master (it starts its workers itself)\n"
            "       vessel status [--json] show the workers and modules of the running master\n"
            "       vessel --version | --help\n\n"
            "The master is found by APP_NAME, as its workers find it (/tmp/uds-vessel-inner[-<app>]);\n"
            "status must be run as the master's user.\n\n"
         << Options();
    return text.str();
}

CommandLine CommandLine::Parse(int argc, const char* const* argv) {
    CommandLine result;
    if (argc <= 1) return result;
    po::options_description hidden;
    hidden.add_options()("command", po::value<std::vector<std::string>>());
    po::options_description all;
    all.add(Options()).add(hidden);
    po::positional_options_description positional;
    positional.add("command", -1);
    po::variables_map vm;
    try {
        po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(), vm);
        po::notify(vm);
    } catch (const po::error& e) {
        result.action = Action::Error;
        result.error = e.what();
        return result;
    }
    std::vector<std::string> words;
    if (vm.count("command") != 0) words = vm["command"].as<std::vector<std::string>>();
    result.json = vm.count("json") != 0;
    if (vm.count("help") != 0) {
        result.action = Action::Help;
    } else if (vm.count("version") != 0) {
        result.action = Action::Version;
    } else if (words.size() == 1 && words[0] == "status") {
        result.action = Action::Status;
    } else {
        result.action = Action::Error;
        if (words.empty())
            result.error = "--json goes with a command: vessel status --json";
        else if (words[0] != "status")
            result.error = "unknown command '" + words[0] + "'";
        else
            result.error = "status takes no argument ('" + words[1] + "')";
    }
    return result;
}
