#pragma once

// Placeholder: filled in by the owning folder.
struct RdsState {
};
