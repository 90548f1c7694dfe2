#include "plan.h"

using namespace Qt::StringLiterals;

namespace {

Plan stops(const QString &reason)
{
    return {Plan::Kind::Stops, {}, 0, reason};
}

Plan cannotTell(const QString &reason)
{
    return {Plan::Kind::CannotTell, {}, 0, reason};
}

Plan planAt(const FileDeclaration &description, qint32 storedVersion, Plan::Kind upgrade)
{
    return {upgrade, description.pendingBlocks(storedVersion), description.stepCount(storedVersion),
            QString()};
}

Plan planState(const FileDeclaration &description, const FileState &look)
{
    switch (look.state) {
    case FileState::State::Missing:
        return description.isOnlyRead() ? Plan {Plan::Kind::Create}
                                        : planAt(description, 0, Plan::Kind::Create);
    case FileState::State::Readable: {
        const qint32 storedVersion = *look.stored.version;
        if (description.isOnlyRead())
            return {Plan::Kind::OnlyRead};
        if (description.isNewerThanProgram(storedVersion))
            return {Plan::Kind::LeftNewer};
        return planAt(description, storedVersion,
                      description.pendingBlocks(storedVersion).isEmpty() ? Plan::Kind::UpToDate
                                                                         : Plan::Kind::Upgrade);
    }
    case FileState::State::NotDatabase:
        return stops(u"not a database"_s);
    case FileState::State::Locked:
        return stops(u"locked by another process"_s);
    case FileState::State::LogInUseOrLeft:
        return cannotTell(u"a write-ahead log lies next to it: open in another process or left "
                          u"by an interrupted write, which cannot be told without writing"_s);
    case FileState::State::JournalInUseOrLeft:
        return cannotTell(u"an unfinished journal lies next to it: another process may be "
                          u"writing it, which cannot be told without writing"_s);
    case FileState::State::UnfinishedWrite:
        return {Plan::Kind::Restore};
    case FileState::State::NoVersionNumber:
        return stops(look.stored.refusal());
    case FileState::State::RunRefuses:
        return stops(look.detail);
    case FileState::State::Unreadable:
        break;
    }
    return stops(u"cannot be read (%1)"_s.arg(look.detail));
}

} // namespace

std::optional<bool> FileState::isDatabase() const
{
    if (state == State::Missing || state == State::RunRefuses || state == State::Unreadable)
        return std::nullopt;
    return state != State::NotDatabase;
}

FileState::Layout FileState::layout(const FileDeclaration &description) const
{
    if (description.isOnlyRead())
        return Layout::None;
    if (state == State::Missing)
        return Layout::Pending;
    if (!stored.version || description.isNewerThanProgram(*stored.version))
        return Layout::None;
    if (*stored.version < *description.currentVersion)
        return Layout::Pending;
    if (!layoutDifferences)
        return Layout::None;
    return layoutDifferences->isEmpty() ? Layout::AsExpected : Layout::Differs;
}

Plan planRun(const FileDeclaration &description, const FileState &look)
{
    const Plan plan = planState(description, look);
    if (plan.kind == Plan::Kind::Stops || plan.kind == Plan::Kind::CannotTell)
        return plan;
    if (!look.runFailure.isEmpty())
        return stops(look.runFailure);
    if (!look.runDoubt.isEmpty())
        return cannotTell(look.runDoubt);
    if (plan.kind != Plan::Kind::UpToDate)
        return plan;
    if (look.layout(description) == FileState::Layout::Differs)
        return {Plan::Kind::LayoutDiffers};
    if (!look.runChanges.isEmpty())
        return {Plan::Kind::Refresh, {}, plan.steps, look.runChanges.join(u"; "_s)};
    return plan;
}
