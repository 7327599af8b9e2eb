// The known-callers list with many callers: opening it, and a click on the "Name"
// header, beside the plain sort of the same names with the same comparison (the least
// the click can cost), measured in the same run.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QApplication>
#include <QString>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <QTreeWidget>

#include "settings/callers_dialog.h"

namespace {

using orvelin::settings::TCallerDlg;

// A hive of `count` callers with names in no particular order.
void writeHive(int count) {
    static std::string path;
    if (path.empty()) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "caller-list-bench.XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        path = pattern + "/orvelin.reg";
        setenv("ORVELIN_REGISTRY", path.c_str(), 1);
    }
    std::ofstream out(path, std::ios::trunc);
    out << "Windows Registry Editor Version 5.00\n\n";
    for (int i = 0; i < count; ++i) {
        char key[160];
        std::snprintf(key, sizeof key,
                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN\\Callers\\0%09d]\n\"Name\"=\"Caller %05d\"\n"
                      "\"Reject\"=dword:%08x\n\n",
                      i, (i * 7919) % count, 0x10000000u * unsigned(i % 6));
        out << key;
    }
}

std::vector<QString> names(int count) {
    std::vector<QString> out;
    for (int i = 0; i < count; ++i) out.push_back(QString("Caller %1").arg((i * 7919) % count, 5, 10, QChar('0')));
    return out;
}

void BM_Open(benchmark::State& state) {
    writeHive(int(state.range(0)));
    for (auto _ : state) {
        TCallerDlg dialog(nullptr);
        benchmark::DoNotOptimize(dialog.list());
    }
}

void BM_NameClick(benchmark::State& state) {
    writeHive(int(state.range(0)));
    TCallerDlg dialog(nullptr);
    if (dialog.list()->topLevelItemCount() != state.range(0)) state.SkipWithError("callers missing");
    for (auto _ : state) dialog.LvnColumnClick(TCallerDlg::NameColumn);  // flips each time after the first
}

void BM_PlainSort(benchmark::State& state) {
    const std::vector<QString> base = names(int(state.range(0)));
    for (auto _ : state) {
        std::vector<QString> v = base;
        std::stable_sort(v.begin(), v.end(), [](const QString& a, const QString& b) {
            return QString::localeAwareCompare(a, b) < 0;
        });
        benchmark::DoNotOptimize(v.data());
    }
}

BENCHMARK(BM_Open)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NameClick)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainSort)->Arg(20000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
