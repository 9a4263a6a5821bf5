// Loading and saving a settings file of 1,000 targets through clsProfile, the
// way the main window's load and unload handlers do it.

#include <benchmark/benchmark.h>

#include <QDir>
#include <QTemporaryDir>

#include "settings/clsprofile.h"
#include "settings/enabled.h"

namespace {

constexpr int kTargets = 1000;

QString Caption(int i) {
    return QStringLiteral("Target %1").arg(i);
}

// The unload handler: delete every section, then three keys per target.
void Save(const QString& path) {
    clsProfile profile;
    profile.setFileName(path);
    for (const QString& name : profile.GetSectNames()) {
        profile.DeleteSection(name);
    }
    for (int i = 0; i < kTargets; ++i) {
        const QString section = Caption(i);
        profile.WriteString(section, QStringLiteral("Enabled"), i % 3 ? "True" : "False");
        profile.WriteString(section, QStringLiteral("File"),
                            QStringLiteral("/srv/data/department-%1/database=%1.mdb").arg(i));
        profile.WriteString(section, QStringLiteral("Password"),
                            i % 2 ? QStringLiteral("secret;%1").arg(i) : QString());
    }
}  // release flushes

// The load handler: section names, then three reads per section.
int Load(const QString& path) {
    clsProfile profile;
    profile.setFileName(path);
    int ticked = 0;
    for (const QString& name : profile.GetSectNames()) {
        const OptText file = profile.GetString(name, QStringLiteral("File"), QString());
        const OptText password = profile.GetString(name, QStringLiteral("Password"), QString());
        ticked += EnabledOrUnticked(profile.GetString(name, QStringLiteral("Enabled"), QString()));
        benchmark::DoNotOptimize(file);
        benchmark::DoNotOptimize(password);
    }
    return ticked;
}

void BM_SaveThousandTargets(benchmark::State& state) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Tarnwick.ini"));
    Save(path);  // start from a full file, as a real save does
    for (auto _ : state) {
        Save(path);
    }
}
BENCHMARK(BM_SaveThousandTargets)->Unit(benchmark::kMillisecond);

void BM_LoadThousandTargets(benchmark::State& state) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Tarnwick.ini"));
    Save(path);
    for (auto _ : state) {
        const int ticked = Load(path);
        if (ticked != 666) {
            state.SkipWithError("the file did not load back");
        }
    }
}
BENCHMARK(BM_LoadThousandTargets)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
