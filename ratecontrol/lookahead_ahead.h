// The next decision worked out ahead, for its costs only.
//
// A decision asks for scene-cut costs one after another, each depending on
// the answer before, while the CTU threads wait for the pictures it decides.
// The lookahead's own thread runs the same decision on a copy of the window
// as soon as the window allows (lookahead_slicetype_speculate) and computes
// every P cost it asks for into copies of the cell's arrays and sums, not
// into the pictures. When the real decision asks for a cell, the copy goes
// into the picture if it was computed from the state the picture is in then
// (the same vector field searched or not): every picture gets exactly the
// cells, in the order and with the values the decision alone would give it.
// Copies the decision does not ask for are dropped after it.
#pragma once
#include <cstdint>

struct lookahead;
struct picture;

// The window a speculative decision works on, copied on the caller's thread.
struct lookahead_window {
    picture **frames;          // held anchor (if any) at 0, then the input queue
    uint8_t *candidates;       // the pictures' scene-cut candidate flags
    int32_t n;
    int32_t held;              // frames[0] is the held anchor
    int32_t inputs_ended;      // no more input comes: the next decision sees this window
    int32_t helpers;           // pool threads the cost computations may take besides their own
    int32_t last_keyframe, ra_count, last_base_p;
};

// Creates the speculation and its thread when the lookahead has a job pool of
// two threads or more (la->ahead stays null otherwise). 0, or -1 with
// nothing left made.
[[nodiscard]] int lookahead_ahead_open(lookahead *la);
// Stops and joins the thread and frees everything; null la->ahead is ignored.
void lookahead_ahead_close(lookahead *la);
// Stops the speculation at its next cell and waits until the thread is idle:
// from then on only the caller's thread touches the window's pictures.
void lookahead_ahead_join(lookahead *la);
// Drops every copy (after a decision, whose cells are in the pictures now).
void lookahead_ahead_discard(lookahead *la);
// The speculative P cell (pic, d0) into the picture, when one was computed
// from the picture's present state. True when taken; the picture's cell, its
// intra costs (if not done yet) and vector field then hold what computing
// the cell would have put there.
bool lookahead_ahead_take(lookahead *la, picture *pic, int32_t d0);

// On the lookahead's thread: the intra cost and the P cost of frames[p1]
// from frames[p0], from the picture's cells when computed, else from a copy,
// computed now when none exists. False once the speculation is to stop.
bool lookahead_ahead_p_cost(lookahead *la, picture **frames, int32_t p0, int32_t p1, int32_t *intra,
                            int32_t *cost);
// The scene-cut part of the next decision on a copied window (slicetype.cpp).
void lookahead_slicetype_speculate(lookahead *la, const lookahead_window *w);
