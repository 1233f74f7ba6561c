SQL: dbupgrade_version
    UPDATE sys_configure
       SET cfg_value = :ver
     WHERE cfg_key = 'Database.Version';
    params:
        ver             int


SQL: reverseproxy_alload
    SELECT t.*
      FROM v_reverseproxy t
     ORDER
        BY t.pxyno
    ;


-- Every rule with only the columns that the checks and the generator read:
-- converting fewer columns per row keeps a change cheap with many rules.
SQL: reverseproxy_rules
    SELECT t.pxyno
         , t.name
         , t.srcport
         , t.params
      FROM v_reverseproxy t
     ORDER
        BY t.pxyno
    ;


SQL: reverseproxy_acquit
    SELECT t.*
      FROM v_reverseproxy t
     WHERE t.pxyno = :pxyno
     LIMIT 1
    ;
    params:
        pxyno           int


SQL: reverseproxy_exists_name
    SELECT t.*
      FROM v_reverseproxy t
     WHERE t.pxyno <> :pxyno
       AND UPPER(t.name) = UPPER(:name)
     LIMIT 1
    ;
    params:
        pxyno           int
        name            string


SQL: reverseproxy_append
    INSERT INTO t_reverseproxy
    ( pxy_name
    , pxy_srcprotocol
    , pxy_srcport
    , pxy_srcpath
    , pxy_srcurl
    , pxy_params
    )VALUES
    ( :name
    , :srcprotocol
    , :srcport
    , :srcpath
    , :srcurl
    , :params
    );
    params:
        name            string
        srcprotocol     string
        srcport         int
        srcpath         string
        srcurl          string
        params          string


SQL: reverseproxy_change
    UPDATE t_reverseproxy
       SET opr_time        = (DATETIME(CURRENT_TIMESTAMP, 'localtime'))
         , pxy_name        = :name
         , pxy_srcprotocol = :srcprotocol
         , pxy_srcport     = :srcport
         , pxy_srcpath     = :srcpath
         , pxy_srcurl      = :srcurl
         , pxy_params      = :params
     WHERE pxy_no = :pxyno
    ;
    params:
        pxyno           int
        name            string
        srcprotocol     string
        srcport         int
        srcpath         string
        srcurl          string
        params          string


SQL: reverseproxy_remove
    DELETE
      FROM t_reverseproxy
     WHERE pxy_no = :pxyno
    ;
    params:
        pxyno           int


-- An import that replaces the table empties it first, in the same transaction.
SQL: reverseproxy_clear
    DELETE
      FROM t_reverseproxy
    ;


-- The audit trail: one entry per answered change of the rule table, refused
-- ones included; entry numbers are never reused, so they order the trail.
SQL: dbupgrade_v1_1
    CREATE TABLE IF NOT EXISTS t_audittrail
    ( aud_no            INTEGER     PRIMARY KEY AUTOINCREMENT
    , aud_time          TEXT        DEFAULT '' -- ISO 8601, UTC
    , aud_uid           INTEGER     DEFAULT -1 -- of the caller; -1 unknown
    , aud_pid           INTEGER     DEFAULT  0
    , aud_program       TEXT        DEFAULT ''
    , aud_cmd           TEXT        DEFAULT '' -- as called
    , aud_err           INTEGER     DEFAULT  0 -- the answer's code
    , aud_pxyno         INTEGER     DEFAULT  0
    , aud_name          TEXT        DEFAULT ''
    , aud_before        TEXT        DEFAULT '' -- JSON without secrets; '' for none
    , aud_after         TEXT        DEFAULT ''
    );


SQL: dbupgrade_v1_2
    CREATE INDEX IF NOT EXISTS t_audittrail_aud_pxyno__index ON t_audittrail(aud_pxyno ASC);


SQL: audittrail_append
    INSERT INTO t_audittrail
    ( aud_time
    , aud_uid
    , aud_pid
    , aud_program
    , aud_cmd
    , aud_err
    , aud_pxyno
    , aud_name
    , aud_before
    , aud_after
    )VALUES
    ( :time
    , :uid
    , :pid
    , :program
    , :cmd
    , :err
    , :pxyno
    , :name
    , :before
    , :after
    );
    params:
        time            string
        uid             int
        pid             int
        program         string
        cmd             string
        err             int
        pxyno           int
        name            string
        before          string
        after           string


-- Keeps the newest :kept entries.
SQL: audittrail_trim
    DELETE
      FROM t_audittrail
     WHERE aud_no < (SELECT aud_no
                       FROM t_audittrail
                      ORDER
                         BY aud_no DESC
                      LIMIT 1 OFFSET :kept - 1)
    ;
    params:
        kept            int


-- The newest :limit entries, of rule :pxyno only when it is above 0.
SQL: audittrail_list
    SELECT t.aud_time     AS time
         , t.aud_uid      AS uid
         , t.aud_pid      AS pid
         , t.aud_program  AS program
         , t.aud_cmd      AS cmd
         , t.aud_err      AS err
         , t.aud_pxyno    AS pxyno
         , t.aud_name     AS name
         , t.aud_before   AS before
         , t.aud_after    AS after
      FROM t_audittrail t
     WHERE :pxyno <= 0
        OR t.aud_pxyno = :pxyno
     ORDER
        BY t.aud_no DESC
     LIMIT :limit
    ;
    params:
        pxyno           int
        limit           int
