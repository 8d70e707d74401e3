// SPDX-License-Identifier: MIT
// A C++ program built against an installed orwin, without the JSON
// library's headers: connects the object layer to a unit, loads a JSON
// capture configuration from a stream and sees a malformed one refused as a
// standard exception.   consumer_cpp HOST:PORT
#include <Orwin_Capture.hpp>

#include <cstdio>
#include <exception>
#include <sstream>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: consumer_cpp HOST:PORT\n");
        return 2;
    }
    try {
        orw::connection unit(argv[1]);
        orw::trc::config config;
        std::istringstream json(R"({"timetags": [{"port": 1, "setting": ["TT_report_EOP"]}]})");
        config.load_json(json);
        if (config.timetags[1].setting == 0) {
            std::fprintf(stderr, "consumer_cpp: configuration not loaded\n");
            return 1;
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "consumer_cpp: %s\n", e.what());
        return 1;
    }
    try {
        orw::trc::config config;
        std::istringstream broken("{\"timetags\": [");
        config.load_json(broken);
        std::fprintf(stderr, "consumer_cpp: malformed JSON accepted\n");
        return 1;
    } catch (const std::exception &) {
    }
    std::printf("object layer: connected, configuration loaded\n");
    return 0;
}
