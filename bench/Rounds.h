#ifndef ROUNDS_H
#define ROUNDS_H

#include <QRandomGenerator>

#include <functional>
#include <vector>

/*!
    Tasks timed in interleaved rounds: each round runs every task once, in
    an order shuffled anew (from a fixed seed, so two runs draw alike), so
    that whatever the machine does meanwhile falls on every task alike. Only
    the work itself is inside the clock; what sets it up and what judges its
    outcome run outside it. A task that failed once makes ok() false.
*/
class Rounds
{
public:
    explicit Rounds(quint32 seed);

    // The index of the task, for samples().
    int add(const std::function<bool()> &work, const std::function<void()> &before = {},
            const std::function<bool()> &verdict = {});
    // `warmUp` rounds not counted (first runs open files, connections and
    // caches), then `count` rounds whose times are kept.
    void run(int count, int warmUp = 0);

    // Every kept time of the task, in ms, oldest first.
    const std::vector<double> &samples(int task) const { return tasks[size_t(task)].samples; }
    double percentile(int task, double p) const;
    bool ok() const { return allOk; }
    QRandomGenerator &random() { return generator; }

private:
    struct Task
    {
        std::function<bool()> work;
        std::function<void()> before;
        std::function<bool()> verdict;
        std::vector<double> samples;
    };

    double runOnce(Task &task);

    std::vector<Task> tasks;
    QRandomGenerator generator;
    bool allOk = true;
};

#endif // ROUNDS_H
