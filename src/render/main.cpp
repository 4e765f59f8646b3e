// kestrune-render's entry: the command line, then the batch.
#include "platform/Paths.h"
#include "render/Batch.h"
#include "render/Check.h"
#include "render/Live.h"
#include "render/ReportPage.h"

#include <cstdio>

int main(int argc, char **argv) {
    try {
        const render::Request request = render::parseCommandLine(argc, argv, paths::settingsFile());
        if (request.help) {
            std::fputs(render::usage().c_str(), stdout);
            return 0;
        }
        if (request.version) {
            std::puts("kestrune-render 0.3.0");
            return 0;
        }
        if (request.levelCheck)
            return render::runLevelCheck(request);
        if (!request.fromReports.empty())
            return render::runReportPage(request);
        if (request.check)
            return render::runCheck(request);
        render::makeOutputFolders(request);
        return render::runBatch(request);
    } catch (const render::UsageError &e) {
        std::fprintf(stderr, "kestrune-render: %s\nTry 'kestrune-render --help' for more.\n",
                     e.what());
        return 2;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "kestrune-render: %s\n", e.what());
        return 1;
    }
}
