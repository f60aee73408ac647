// The bridge between the application state and the view layer: the scene a
// frame draws (which documents, where, in which compare mode) is built from
// AppState, and what the frame learned (tiles of changed documents dropped,
// a document whose tiles cannot be rendered) is carried back.
#pragma once

#include "app/app_state.h"
#include "view/present.h"

// The active document alone, or the compare pair while compare is shown;
// nothing while the browser covers the image area. Document ids are slots.
void build_scene(const AppState* app, ViewScene* scene);
// After drawing the scene: the changed marks it consumed are cleared, and a
// document whose render failed is marked failed with that error's code.
void apply_scene_results(AppState* app, const ViewScene* scene, const RenderCounters* counters);
