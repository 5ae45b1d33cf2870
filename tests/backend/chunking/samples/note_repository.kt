package com.example.notes

import kotlinx.coroutines.flow.Flow
import java.time.Instant as Time

/**
 * Stores notes in memory.
 */
class NoteRepository(private val clock: Clock) : Repository<Note> {
    private val notes = mutableListOf<Note>()

    override fun add(note: Note, tags: List<String> = emptyList()) {
        notes.add(note.copy(created = clock.now()))
        Log.d("notes", "added ${note.id}")
    }

    companion object {
        fun empty(): NoteRepository = NoteRepository(SystemClock())
    }
}

data class Note(val id: Long, val text: String)

fun main(args: Array<String>) {
    val repo = NoteRepository.empty()
    println(repo)
}
