#include "Rounds.h"

#include "Bench.h"

#include <QElapsedTimer>

#include <algorithm>
#include <numeric>

Rounds::Rounds(quint32 seed)
    : generator(seed)
{
}

int Rounds::add(const std::function<bool()> &work, const std::function<void()> &before,
                const std::function<bool()> &verdict)
{
    tasks.push_back(Task {work, before, verdict, {}});
    return int(tasks.size()) - 1;
}

double Rounds::runOnce(Task &task)
{
    if (task.before)
        task.before();
    QElapsedTimer clock;
    clock.start();
    const bool done = task.work();
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    allOk = done && (!task.verdict || task.verdict()) && allOk;
    return ms;
}

void Rounds::run(int count, int warmUp)
{
    std::vector<size_t> order(tasks.size());
    std::iota(order.begin(), order.end(), 0);
    for (int round = -warmUp; round < count; ++round) {
        std::shuffle(order.begin(), order.end(), generator);
        for (size_t index : order) {
            const double ms = runOnce(tasks[index]);
            if (round >= 0)
                tasks[index].samples.push_back(ms);
        }
    }
}

double Rounds::percentile(int task, double p) const
{
    return Bench::percentile(samples(task), p);
}
